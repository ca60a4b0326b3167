#pragma once
// CBlockLevelBitmapHandler: one KZBF driver bitmap shared by every subclient
// that backs up the same device.
//
// Reading the driver's bitmap for a backup clears it. Whenever one
// subclient's backup takes and clears it, the cleared bits are OR-ed into the
// cache bitmap of every other subclient registered for the device in the
// monitored-volume list, so each subclient's next backup still sees every
// extent changed since its own previous one; the subclient itself gets its
// accumulated cache written to the job's bitmap file and its cache starts
// again from zero.
//
// Hooks mark an update under way: the driver hook ("<device id>.hook" in the
// driver cache folder) from before the driver is touched until every cache
// is updated, a subclient's hook while its cache is rewritten. A hook found
// at the start means an earlier update ended half-way; what it guarded is
// then treated as all changed (full bitmaps), so no change is ever lost.
//
// Every operation that reads or changes the list, the caches or a driver
// bitmap holds the machine-wide semaphore (FxNameMutexWrapper) for its whole
// run. Call order: construct, Initialize with the driver cache folder, one
// operation, drop the handler.
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "platform/error/qi_error.h"
#include "platform/memory/auto_handle.h"
#include "platform/snapshot/sm_vol_block.h"
#include "records/volume_config.h"
#include "tracking/driver_cache.h"
#include "tracking/fx_name_mutex_wrapper.h"
#include "tracking/volume_list.h"

class CBlockLevelBitmapHandler {
 public:
  CBlockLevelBitmapHandler() = default;

  // Makes the monitored-volume list and the driver cache on the folder; an
  // empty folder (one that could not be known) is refused.
  CQiError Initialize(const std::string& driverCacheFolder);

  // Takes and clears the device's driver bitmap, fans it out to every
  // subclient cache of the device and writes this subclient's accumulated
  // bitmap to the destination (copied, or OR-ed into an existing file). The
  // block's force-full flag is the caller's request and comes back set when
  // this backup must be full.
  CQiError GetAndClearBitmap(long long clientId, const uint64_t& bitmapSize, SMVolBlock& block,
                             const std::string& deviceId, const std::string& destination);
  // Reads the driver bitmap without clearing it, ORs it into this
  // subclient's cache and writes the cache to the destination. The subclient
  // must be registered (1168 otherwise).
  CQiError GetBitmap(long long clientId, const uint64_t& bitmapSize, SMVolBlock& block, const std::string& deviceId,
                     const std::string& destination);
  // Registers the subclient for the device.
  CQiError AddVolume(long long clientId, const SMVolBlock& block, const std::string& deviceId);
  // Registers a ready record; the list is saved when it was new.
  CQiError AddVolume(VolumeConfig& record, bool& isNew);
  // Gives the target subclient (registered on the way) the cache bitmap of
  // the source application's subclient of the same device.
  CQiError MergeBitmapFromSC2SC(const SMVolBlock& target, long long clientId, const std::string& deviceId,
                                long long sourceAppId);
  // Registers the record unless the list holds it, removing any cache bitmap
  // left from an earlier registration. The caller holds the lock.
  CQiError ValidateDevice(VolumeConfig& record, bool& isNew);
  // The job-results bitmap file of a subclient: none is kept, the name is
  // left as it is.
  CQiError GetJRBitmapFileName(VolumeConfig& record, std::string& name);

  // Refreshes the monitored-volume list from the subclients' current
  // contents (loaded before the lock), then refuses (errno 16, the device in
  // `device`) the first listed device that has live snapshots while it is
  // registered for another subclient or for more than one.
  CQiError VerifyDevicesDup(const std::list<std::string>& devices, long long AppId, long long VornCellId,
                            std::string& device);
  // Removes the application's registration and cache bitmap of each device;
  // the driver stops tracking a device whose only user it was.
  CQiError CleanupSubclientBitmaps(long long AppId, const std::list<std::string>& devices);

  // --- cluster fail-over --------------------------------------------------------

  // Appends the registrations of cluster (virtual) clients whose device id is
  // one of the stopped volumes' keys; the list is not changed.
  CQiError HandleClusterStopForUNIX(const std::list<std::string>& volumeKeys, std::list<VolumeConfig>& records);
  // Registers each carried record that this node does not hold yet (same
  // cell, client, application and device id), under the device its volume
  // key has here; the records' device paths are changed accordingly.
  CQiError HandleClusterStartForUNIX(std::list<VolumeConfig>& records,
                                     const std::map<std::string, std::string>& deviceOfKey);
  // Makes the next operation on each device (by id) treat every cache of it
  // as all changed, as a driver hook left by an operation that ended
  // half-way does: the hooks are made, and on disk when it returns. hooked
  // gets the ids whose hook is on disk, also when others failed.
  CQiError HookDevicesForFullBackup(const std::set<std::string>& deviceIds, std::set<std::string>& hooked);
  // The same for every device id the monitored-volume list holds. registered
  // gets the list's records, also when their hooks failed; it stays empty
  // when the list cannot be read.
  CQiError HookRegisteredDevicesForFullBackup(std::list<VolumeConfig>& registered, std::set<std::string>& hooked);
  // Nothing to do on Unix.
  CQiError HandleClusterStart();
  CQiError GetNewClusterVolumes(std::list<VolumeConfig>& volumes);

 private:
  // The record of the calling subclient for the device.
  static VolumeConfig OwnRecord(long long clientId, const SMVolBlock& block, const std::string& deviceId);
  CQiError CheckInitialized() const;
  // How every locked operation starts: the handler initialized, the
  // machine-wide lock taken (held until the operation object goes).
  CQiError BeginLocked(tracking::LockedOperation& operation) const;
  // Fail-over merge of the volume into the driver bitmap.
  static CQiError MergeFailOver(SMVolBlock& block, auto_ptr_array<unsigned char>& bitmap, const uint64_t& size,
                                const std::string& destination);
  // The hooks of HookDevicesForFullBackup; the caller holds the lock.
  CQiError MakeDriverHooks(const std::set<std::string>& deviceIds, std::set<std::string>& hooked);
  // Syncs the driver cache folder, so that the driver hooks are on disk
  // before the driver is touched; on failure removes the hooks this call
  // made (madeIds).
  CQiError SyncDriverHooks(const std::set<std::string>& madeIds);
  // One entry's share of a cleared driver bitmap (the distribution step);
  // false when the cache may lack those bits and no hook of its own on disk
  // says so.
  bool UpdateEntryCache(const VolumeConfig& entry, const VolumeConfig& own, const uint64_t& size,
                        const auto_ptr_array<unsigned char>& bitmap, bool dirty, SMVolBlock& block,
                        const std::string& destination);

  std::shared_ptr<CVolumeList> m_pVolumeList;
  std::shared_ptr<CDriverCache> m_pDriverCache;
};
