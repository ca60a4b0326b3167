#pragma once
// The block-level backup library's exported entry points and public classes.
//
// The agent resolves the entry points by their unmangled names, so they are
// declared extern "C" although they take and return C++ types; the agent is
// built with the same compiler and library, so the types match. No exception
// crosses these functions: a failure comes back as a CQiError (or null).
#include <list>
#include <map>
#include <string>
#include <vector>

#include "blocklevel/export.h"
#include "platform/error/qi_error.h"
#include "platform/jobs/job_ctrl_client.h"

// The unmangled names with C++ types are on purpose (see above): clang would
// warn of each of them.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif

// One device-configuration line as the agent's block-backup-device message
// text. A line that does not parse gives a message with the flag 0, empty
// texts and zero numbers.
extern "C" BLB_EXPORT std::string Serialize(const std::string& line);

class KzDeviceConfigHandler;

// The device-configuration handler of a job for its snapshot task: the SPOS
// handler when the last argument is exactly "-SPOS", else the Unix one; null
// when the arguments do not parse or the subclient is unknown. The caller
// owns the object.
extern "C" BLB_EXPORT KzDeviceConfigHandler* GetBlockDeviceConfigHandler(const std::vector<std::string>& args);

// The real device under a CXBF pseudo-device; any other supported device is
// given back as it is. A device no strategy supports fails with errno 38.
extern "C" BLB_EXPORT CQiError GetUnderLyingDeviceIfCXBF(const std::string& device, std::string& realDevice);

struct HandleRemoteIndexArgs;
class CBlkLvlRemoteIndexHandler;

// Downloads an earlier job's files from the backup index into the given
// job-results directory and reads its device configuration; null on failure.
// The caller owns the object.
extern "C" BLB_EXPORT CBlkLvlRemoteIndexHandler* HandleRemoteIndex(const HandleRemoteIndexArgs& args);

// One volume of a scan, as the agent lists it: the volume's mount path and
// the snapshot device it is read from.
struct ScanObjects_t {
  std::string sVolume;
  std::string sSnapDevice;
};

class CollectFileManager;

// The scan: writes, in jobResultsDir, the collect files that list each
// volume's extents to back up (split over the streams when several readers
// may share a volume), "ListOfCollect.txt" and "SrcSnapFile.kzf", and saves
// each volume's cumulative bitmap. totalExtents receives the number of
// extents listed; nStreams is only read; reserved is not used; jobCtrl goes
// to the true-up.
extern "C" BLB_EXPORT CQiError CreateBlkLevelCollectFiles(const std::vector<std::string>& args, int clientId,
                                                          std::list<ScanObjects_t>& scanObjects, int& nStreams,
                                                          int reserved, const std::string& jobResultsDir,
                                                          bool allowMultipleReaders, int starvationFactor, bool trueUp,
                                                          unsigned int& totalExtents, KZJobCtrlClient* jobCtrl);

// The backup side of a scan: a manager for the job that reads the scan's
// list of collect files back and hands them out volume by volume. Null when
// the arguments do not parse or the job-results directory is unknown. The
// caller owns the object.
extern "C" BLB_EXPORT CollectFileManager* getCollectInstance(const std::vector<std::string>& args, int clientId,
                                                             int reserved);

// Releases the devices of a removed subclient listed in its last
// device-configuration file: the KZBF devices lose this subclient's
// registration and cache bitmaps (and their tracking when it was the only
// user), driverless devices their records; CXBF devices stay as they are.
// A missing file is success.
extern "C" BLB_EXPORT CQiError DetachBlockLevelVolumes(const std::string& configFile, long long AppId);

// The same for the subclient whose id (decimal digits) is given: its
// configuration file is looked for under each active client's job-results
// directory. An id that is not a decimal number fails with errno 22; no file
// found fails with errno 2.
extern "C" BLB_EXPORT CQiError DetachBlockLevelVolumesForSC(const std::string& subclientId);

// Cluster fail-over of KZBF tracking: 0 on the node that gives the cluster's
// volumes up (while they are still mounted), 1 on the node that takes them
// over (once they are mounted there). Any other value fails with errno 22.
extern "C" BLB_EXPORT CQiError BlockLevelClusterHandler(int startStop);

// Folds the listed bitmap files into the bitmap file of each device that
// directory's device configuration lists: every listed file whose path holds
// a device's bitmap name is OR-ed into that device's file, and goes once the
// merged file is in place; listed files that belong to no device are
// removed. A device whose own bitmap file is missing ends the merge.
extern "C" BLB_EXPORT CQiError MergeBitmapForBlockLevelSnap(unsigned long appId, unsigned long cellId,
                                                            const std::string& directory,
                                                            const std::list<std::string>& bitmapFiles);

// Rewrites the bitmap file of every device the directory's configuration
// lists with all bits set: each device's next backup is full.
extern "C" BLB_EXPORT CQiError ResetBitmapsForFull(const std::string& directory);

// One bitmap for a source mount (a path under the extent view, or a volume)
// from every "*.bmp" file of bitmapDirectory (which ends with "/") whose name
// holds "_<volume key>.bmp", OR-ed, with the extents the snapshot device's
// file system does not use cleared. The device's disk and extent sizes come
// from the configuration file. No such file is success with *noBitmaps set
// and *bitmap untouched; otherwise *bitmap is the caller's (FreeBitMaps).
// The flag is not read. False on failure, told in the log.
extern "C" BLB_EXPORT bool RestoreBitMapMerger(const std::string& bitmapDirectory, const std::string& configFile,
                                               const std::string& sourceMount, const std::string& snapDevice,
                                               bool flag, bool* noBitmaps, unsigned long long* diskSize,
                                               unsigned long long* extentSize, unsigned char** bitmap);

// Each volume of a device-configuration file with its disk size; a volume
// listed twice keeps its first size. False when the file cannot be read.
extern "C" BLB_EXPORT bool ReadBlockDeviceConfig(const std::string& configFile,
                                                 std::map<std::string, unsigned long long>& diskSizes);

#if defined(__clang__)
#pragma clang diagnostic pop
#endif

// Frees each bitmap given (a pointer to null, or null, is left alone) and
// sets its pointer to null.
BLB_EXPORT void FreeBitMaps(unsigned char** first, unsigned char** second);
