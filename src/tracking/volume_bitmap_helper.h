#pragma once
// VolumeBitMapHelper: the per-device change-tracking strategy, and the one
// place that defines a changed-extent bitmap in memory and on disk.
//
// A changed-extent bitmap holds one bit per extent of a device: extent i is
// bit (i % 8) of byte (i / 8), least significant bit first. A set bit means
// the next backup must read the extent; all bits set stands for a full
// backup. Every operation takes the byte size from its caller and treats all
// size * 8 bits as extents, spare bits of the last byte included.
//
// Files:
// - raw bitmap file (".bmp"): the bitmap bytes and nothing else;
// - size-prefixed file: an unsigned 64-bit byte count in machine order
//   (little-endian), followed by that many bitmap bytes.
//
// Buffers made by the raw reader and by GetDataBlockBitMap come from
// calloc/malloc and are released with free; those of the whole-file and
// size-prefixed readers are owned by an auto_ptr_array.
#include <boost/shared_ptr.hpp>
#include <string>

#include "platform/error/qi_error.h"
#include "platform/memory/auto_handle.h"
#include "records/backup_device_info.h"
#include "records/file_replacement.h"

// The snapshot library's per-volume record.
struct SMVolBlock;

class VolumeBitMapHelper {
 public:
  // The strategy that tracks a device's changes.
  enum eDeviceType_t {
    eDeviceType_CXBF = 0,
    eDeviceType_KZBF = 1,
    eDeviceType_BLOCKLEVEL_DRIVERLESS = 2,
    eDeviceType_NONE = 3,  // no strategy: the device is not supported
  };

  VolumeBitMapHelper() = default;
  virtual ~VolumeBitMapHelper() = default;

  // --- strategy selection --------------------------------------------------

  // Driverless when the agent is configured for it, else CXBF for a CXBF
  // pseudo-device, else KZBF when its driver is (or can be) loaded, else
  // none. Never fails.
  static eDeviceType_t GetDeviceHandlerType(const std::string& device);
  // The factory every caller uses: the chosen strategy's process-wide
  // instance; empty for eDeviceType_NONE.
  static boost::shared_ptr<VolumeBitMapHelper> GetVolumeHandlerInstance(const std::string& device, eDeviceType_t& type);
  // A new object of the chosen strategy that the caller owns; null for
  // eDeviceType_NONE.
  static VolumeBitMapHelper* GetVolumeHandler(const std::string& device, eDeviceType_t& type);

  // The real block device under a pseudo-device; strategies without
  // pseudo-devices give the device back unchanged.
  virtual CQiError GetUnderlyingDevice(const std::string& device, std::string& realDevice) = 0;
  // The device's geometry (at least extent size, total 512-byte blocks and
  // bitmap size).
  virtual CQiError GetVolumeInfo(const std::string& device, VolumeInfo& info) = 0;
  // The bitmap step of an incremental backup, run before (preSnap true) and
  // after the snapshot; afterwards bitmapFile holds the changed extents.
  virtual CQiError IncrBitMapFormalities(SMVolBlock& volume, const std::string& bitmapFile,
                                         const unsigned long& bitmapSize, const int& extentSize, bool preSnap) = 0;
  // The same for a volume that goes to a full backup.
  virtual CQiError FullBitMapFormalities(SMVolBlock& volume, const std::string& bitmapFile,
                                         const unsigned long& bitmapSize, const int& extentSize, bool preSnap) = 0;
  // Makes sure tracking of the device runs with this extent size (bytes).
  virtual CQiError AttachDevice(const std::string& mountPath, const std::string& device, const int& extentSize) = 0;
  virtual CQiError DetachDevice(const std::string& device) = 0;
  // Removes the strategy's snapshots of the device; stops tracking it when
  // detach is set.
  virtual CQiError DeleteSnapAndDetachDevice(const std::string& device, bool detach) = 0;

  // --- bitmap files -------------------------------------------------------

  // Reads the first `size` bytes of a raw bitmap file into a new zeroed
  // buffer (release with free). A missing file fails with errno 2, which
  // callers test to tell "no bitmap yet" from other failures; a shorter file
  // fails; a longer one gives its first bytes.
  static CQiError ReadBitMapFromFile(const std::string& path, unsigned char** bitmap, const unsigned long& size);
  // Reads a whole raw bitmap file; size is the file's length (not zero).
  static CQiError ReadBitMapFromFile(const std::string& path, auto_ptr_array<unsigned char>& bitmap,
                                     unsigned long& size);
  // Writes a raw bitmap in place (created or truncated) and flushes it to disk.
  static CQiError WriteBitMapToFile(const std::string& path, const unsigned char* bitmap, const unsigned long& size);
  // Writes a raw bitmap whole under a temporary and renames it over the path;
  // the folder is synced then, or by the caller once for several files.
  static CQiError ReplaceBitMapFile(const std::string& path, const unsigned char* bitmap, const unsigned long& size,
                                    records::FolderSync folderSync = records::FolderSync::kNow);
  // A job's bitmap file from an earlier attempt of the job: success when
  // there is none or it is one bitmap of this size long; a mismatch (774) or
  // the failure to look at it otherwise.
  static CQiError CheckEarlierJobBitmap(const std::string& path, const unsigned long& size);
  static CQiError ReadBitMapFromFileWithSize(const std::string& path, auto_ptr_array<unsigned char>& bitmap,
                                             unsigned long& size);
  static CQiError WriteBitMapToFileWithSize(const std::string& path, const unsigned char* bitmap,
                                            const unsigned long& size);

  // --- bit operations (null buffers fail with errno 22) ----------------------

  // destination |= source
  static CQiError MergeBitMaps(unsigned char* destination, const unsigned char* source, const unsigned long& size);
  // bitmap &= dataBlocks: clears every extent the file system does not use.
  static CQiError MergeDataBitMaps(unsigned char* bitmap, const unsigned char* dataBlocks, const unsigned long& size);
  static CQiError SetBitMapForFULL(unsigned char* bitmap, const unsigned long& size);
  // Logs every set bit at level 0.
  static CQiError InspectBitMap(const unsigned char* bitmap, const unsigned long& size);
  // Whether the debug marker that asks for bitmap dumps is present.
  static bool IsInspectRequested();

  // --- the file system's allocated extents -----------------------------------

  // The device's allocated-extent bitmap (release with free). Fails with
  // errno 38 when the parser does not know the device's file system; any
  // other parser failure, or a bitmap of another size, succeeds with no
  // bitmap (*bitmap null).
  static CQiError GetDataBlockBitMap(const std::string& device, unsigned char** bitmap, const unsigned long& size,
                                     const int& extentSize);
  // Clears the bits of extents the device's file system does not use; leaves
  // the bitmap unchanged when no data-block bitmap can be had.
  static CQiError MergeDataBlockBitMap(const std::string& device, unsigned char* bitmap, const unsigned long& size,
                                       const int& extentSize);
  // The same with a data-block bitmap already at hand; succeeds without a
  // change when either buffer is null.
  static CQiError MergeDataBlockBitMap(const std::string& device, unsigned char* bitmap, unsigned char* dataBlocks,
                                       const unsigned long& size, const int& extentSize);
  // ORs the driver bitmap (may be null) into the raw bitmap file. With neither
  // file nor driver bitmap nothing is written and the errno 2 is returned.
  static CQiError MergeAndWriteToDiskBitMap(const std::string& device, const std::string& bitmapFile,
                                            unsigned char* driverBitmap, const unsigned long& size,
                                            const int& extentSize);

  // --- cluster fail-over --------------------------------------------------------

  // Decides, from the attached-volume list, whether the volume's driver bitmap
  // (may be null; a buffer from malloc) can be trusted: a volume marked dirty
  // becomes full (all bits and forceFull), a bitmap the previous node left
  // behind in the list's folder under bitmapFile's name is OR-ed in (or handed
  // back when there is no driver bitmap) and moved aside. Both stay pending
  // until CompleteFailOverMerge, so that the next merge takes them again if
  // this backup dies first. What cannot be read makes the volume full; only a
  // failed OR or a consumed dirty mark that cannot be saved is returned as an
  // error.
  static CQiError MergeFailOverBitmap(const std::string& mountPoint, unsigned char** driverBitmap,
                                      const std::string& bitmapFile, const unsigned long& size, bool& forceFull);
  // The backup whose bitmap file is bitmapFile finished its snapshot task:
  // what its merge took is handed on, and no later merge takes it again. A
  // removal that is not on disk fails it.
  static CQiError CompleteFailOverMerge(const std::string& bitmapFile);

  // --- file names -------------------------------------------------------------

  // directory + "/" (unless present) + volume key + ".bmp". The key comes from
  // the mount path, or from the device when the file-system type is "zfs".
  static void GenerateBitmapFileName(const std::string& mountPath, const std::string& directory, std::string& name,
                                     const std::string& device, const std::string& fsType);
  static void GetCumulativeBmpVolumeName(const std::string& mountPath, const std::string& device,
                                         const std::string& fsType, std::string& name);
  // directory joined with the cumulative volume name + "_CumulativeV2.bmp";
  // the flag does not change the name.
  static void GenerateCumulativeBitmapFileName(const std::string& mountPath, const std::string& directory,
                                               std::string& name, const std::string& device, const std::string& fsType,
                                               bool flag);
};
