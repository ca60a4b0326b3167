#pragma once
// The snapshot library's volume-snap record: what a snapshot job took (its
// volumes, their snaps, the volume-to-snap map and the snaps' metadata), as
// the snapshot service stores it per (cell, job).
//
// The record has one text form, read and written by ToText/FromText and
// shared by the state database, `blbsim snap add|show` and the seed:
//
//   job=101 snapjob=55 cell=2 engine=53 copy=3 synthfull=0
//   volume id=1 path=/mnt/a options=rw flags=0x0 afile=501
//   snap id=11 source=/dev/snapA
//   map volume=1 snap=11 metadata=0
//   metadata id=5 type=2 dbopmode=0
//
// one line per list entry, in list order. A value runs to the next key of
// its line, so paths and options may hold blanks.
//
// Fault: "SMVolSnapInfo::cloneForBlockSnap" (the clone answers the code).
#include <cstdint>
#include <list>
#include <map>
#include <string>

class SMVolumeInfo {
 public:
  SMVolumeInfo() = default;
  SMVolumeInfo(int volumeId, std::string sourcePath, std::string mountOptions, uint32_t flags, int archFileId)
      : m_nVolumeId(volumeId),
        m_sSourcePath(std::move(sourcePath)),
        m_sMountOptions(std::move(mountOptions)),
        m_nFlags(flags),
        m_nArchFileId(archFileId) {}

  int getSMVolumeId() const { return m_nVolumeId; }
  const std::string& getSourcePath() const { return m_sSourcePath; }
  const std::string& getMountOptions() const { return m_sMountOptions; }
  uint32_t getVolumeFlags() const { return m_nFlags; }
  int getArchFileId() const { return m_nArchFileId; }
  void setArchFileId(int archFileId) { m_nArchFileId = archFileId; }
  // A disk-level volume of an ASM snapshot: the disk's device and the ASM
  // disk group it belongs to.
  const std::string& getSourceDevice() const { return m_sSourceDevice; }
  const std::string& getOriginSourcePath() const { return m_sOriginSourcePath; }
  void setSourceDevice(const std::string& device) { m_sSourceDevice = device; }
  void setOriginSourcePath(const std::string& origin) { m_sOriginSourcePath = origin; }

 private:
  int m_nVolumeId = 0;
  std::string m_sSourceDevice;
  std::string m_sOriginSourcePath;
  std::string m_sSourcePath;
  std::string m_sMountOptions;
  uint32_t m_nFlags = 0;
  int m_nArchFileId = 0;
};

class SMSnapInfo {
 public:
  SMSnapInfo() = default;
  SMSnapInfo(int snapId, std::string sourceDevice) : m_nSnapId(snapId), m_sSourceDevice(std::move(sourceDevice)) {}

  int getSMSnapId() const { return m_nSnapId; }
  const std::string& getSnapSourceDevice() const { return m_sSourceDevice; }
  void setSnapSourceDevice(const std::string& device) { m_sSourceDevice = device; }

 private:
  int m_nSnapId = 0;
  std::string m_sSourceDevice;
};

class SMVolSnapMapInfo {
 public:
  SMVolSnapMapInfo() = default;
  SMVolSnapMapInfo(int volumeId, int snapId, int metadataId)
      : m_nVolumeId(volumeId), m_nSnapId(snapId), m_nMetaDataId(metadataId) {}

  int getSMVolumeId() const { return m_nVolumeId; }
  int getSMSnapId() const { return m_nSnapId; }
  int getMetaDataId() const { return m_nMetaDataId; }
  void setMetaDataId(int metadataId) { m_nMetaDataId = metadataId; }

 private:
  int m_nVolumeId = 0;
  int m_nSnapId = 0;
  int m_nMetaDataId = 0;
};

class SMMetaDataInfo {
 public:
  SMMetaDataInfo() = default;
  SMMetaDataInfo(int metadataId, int type, int dbOpMode) : m_nId(metadataId), m_nType(type), m_nDbOpMode(dbOpMode) {}

  int getMetaDataId() const { return m_nId; }
  int getMetaDataType() const { return m_nType; }
  int getDbOpMode() const { return m_nDbOpMode; }
  void setDbOpMode(int mode) { m_nDbOpMode = mode; }
  void setMetaDataId(int metadataId) { m_nId = metadataId; }

 private:
  int m_nId = 0;
  int m_nType = 0;
  int m_nDbOpMode = 0;
};

// A snap engine's record (KZQMSnapHandler).
struct SMEngineInfo {
  int engineId = 0;
  std::string name;
};

class SMVolSnapInfo {
 public:
  using VolumeList = std::list<SMVolumeInfo>;
  using SnapList = std::list<SMSnapInfo>;
  using VolSnapMapList = std::list<SMVolSnapMapInfo>;
  using MetaDataList = std::list<SMMetaDataInfo>;

  // What a fetch asks for: set before KZSnapClientAPI::getVolumeSnaps.
  void setJobId(uint32_t jobId) { m_nJobId = jobId; }
  void setSnapJobId(uint32_t snapJobId) { m_nSnapJobId = snapJobId; }
  void setVornCellId(uint32_t cellId) { m_nCellId = cellId; }
  void setSnapActionFlags(uint32_t flags) { m_nSnapActionFlags = flags; }
  void setRetrieveValidFlags(uint32_t flags) { m_nRetrieveValidFlags = flags; }
  void setCopyParamType(int type) { m_nCopyParamType = type; }
  void setCopyParam(uint32_t copy) { m_nCopyParam = copy; }
  uint32_t getSnapActionFlags() const { return m_nSnapActionFlags; }
  uint32_t getRetrieveValidFlags() const { return m_nRetrieveValidFlags; }
  int getCopyParamType() const { return m_nCopyParamType; }
  uint32_t getCopyParam() const { return m_nCopyParam; }

  uint64_t getJobId() const { return m_nJobId; }
  uint64_t getSnapJobId() const { return m_nSnapJobId; }
  uint32_t getVornCellId() const { return m_nCellId; }
  int getEngineId() const { return m_nEngineId; }
  uint32_t getCopyId() const { return m_nCopyId; }
  bool isSynthFull() const { return m_bSynthFull; }
  void setEngineId(int engineId) { m_nEngineId = engineId; }
  void setCopyId(uint32_t copyId) { m_nCopyId = copyId; }

  VolumeList& getVolumeList() { return m_lVolumes; }
  const VolumeList& getVolumeList() const { return m_lVolumes; }
  VolumeList::iterator volumeListBegin() { return m_lVolumes.begin(); }
  VolumeList::iterator volumeListEnd() { return m_lVolumes.end(); }
  SnapList& getSnapList() { return m_lSnaps; }
  SnapList::iterator snapListBegin() { return m_lSnaps.begin(); }
  SnapList::iterator snapListEnd() { return m_lSnaps.end(); }
  VolSnapMapList& getVolSnapMapList() { return m_lVolSnapMaps; }
  VolSnapMapList::iterator volSnapMapListBegin() { return m_lVolSnapMaps.begin(); }
  VolSnapMapList::iterator volSnapMapListEnd() { return m_lVolSnapMaps.end(); }
  MetaDataList& getMetaDataList() { return m_lMetaData; }
  MetaDataList::iterator metaDataListBegin() { return m_lMetaData.begin(); }
  MetaDataList::iterator metaDataListEnd() { return m_lMetaData.end(); }

  int numOfVolume() const { return static_cast<int>(m_lVolumes.size()); }
  // Appends a copy of the volume (the flag is the agent's and not used here).
  void addVolume(const SMVolumeInfo& volume, bool) { m_lVolumes.push_back(volume); }
  // The record's text form, for logs.
  std::string dump() const { return ToText(); }

  // An ASM snapshot's disk-level volumes ("disk" lines), and whether a
  // block-level clone took the ASM detail over ("asm cloned=1").
  VolumeList& getDiskVolumeList() { return m_lDiskVolumes; }
  const VolumeList& getDiskVolumeList() const { return m_lDiskVolumes; }
  bool isAsmCloned() const { return m_bAsmCloned; }
  void setAsmCloned(bool cloned) { m_bAsmCloned = cloned; }
  // Adds a copy of the record with the next id (the highest so far + 1) and
  // gives that id. The flag asks the service to store it with the record.
  int addMetaData(SMMetaDataInfo metadata, bool store);

  // The clone a block-level snap engine keeps of this record: the same
  // volumes, snaps, maps and metadata under the given job, engine and copy,
  // with each volume's archive file replaced by its entry in the map. 0, or
  // non-zero with the error text (an archive file the map lacks).
  int cloneForBlockSnap(uint64_t jobId, uint32_t copyId, const std::map<int, int>& archFileMap,
                        const SMEngineInfo& engine, SMVolSnapInfo& clone, std::string& error, bool synthFull) const;

  // The last service failure told through this record.
  int getErrorCode() const { return m_nErrorCode; }
  const std::string& getErrorString() const { return m_sError; }
  void setError(int code, const std::string& text) {
    m_nErrorCode = code;
    m_sError = text;
  }

  // The text form (header line, then one line per entry), and back: false
  // with the line and the fault for a text that is not one.
  std::string ToText() const;
  static bool FromText(const std::string& text, SMVolSnapInfo& record, std::string& why);
  // Takes what the service stores (header and lists), keeping the requests.
  void TakeStored(const SMVolSnapInfo& stored);

 private:
  uint64_t m_nJobId = 0;
  uint64_t m_nSnapJobId = 0;
  uint32_t m_nCellId = 0;
  int m_nEngineId = 0;
  uint32_t m_nCopyId = 0;
  bool m_bSynthFull = false;
  uint32_t m_nSnapActionFlags = 0;
  uint32_t m_nRetrieveValidFlags = 0;
  int m_nCopyParamType = 0;
  uint32_t m_nCopyParam = 0;
  VolumeList m_lVolumes;
  SnapList m_lSnaps;
  VolSnapMapList m_lVolSnapMaps;
  MetaDataList m_lMetaData;
  VolumeList m_lDiskVolumes;
  bool m_bAsmCloned = false;
  int m_nErrorCode = 0;
  std::string m_sError;
};
