#pragma once
// The records the scan shares between its steps: each volume's three
// bitmaps, the per-volume record handed to the true-up, and one collect file.
#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <string>

#include "records/backup_device_info.h"

class TrueUpVolInfo {
 public:
  // A volume's bitmaps, one bit per extent each (the changed-extent bitmap
  // layout), owned here and shared by the manager and the true-up records.
  // Every buffer comes from Allocate (or from calloc/malloc, as the driver
  // bitmaps and the file system's data-block bitmaps do) and is released
  // with free, whoever made it.
  class VolumeBitmaps {
   public:
    enum Index { kChange = 0, kTrueUp = 1, kDataOnly = 2, kCount = 3 };

    VolumeBitmaps() = default;
    ~VolumeBitmaps();
    VolumeBitmaps(const VolumeBitmaps&) = delete;
    VolumeBitmaps& operator=(const VolumeBitmaps&) = delete;

    // A zeroed buffer of the kind this object releases; null when out of
    // memory. Size 0 still gives a buffer.
    static unsigned char* Allocate(uint64_t bytes);

    unsigned char* operator[](int index) const { return m_pBitmaps[index]; }
    // Takes the buffer over, releasing the one held before.
    void Reset(int index, unsigned char* bitmap);

   private:
    unsigned char* m_pBitmaps[kCount] = {nullptr, nullptr, nullptr};
  };
  typedef boost::shared_ptr<VolumeBitmaps> VolumeBitmapsPtr;

  // From the volume's device record; a zfs volume is known by its device.
  TrueUpVolInfo(const std::string& snapDevice, const BackupDeviceInfo& device, const VolumeBitmapsPtr& bitmaps);

  const std::string& GetVolume() const { return m_sVolume; }
  const std::string& GetSourceDevice() const { return m_sSourceDevice; }
  const std::string& GetSnapDevice() const { return m_sSnapDevice; }
  const std::string& GetFSType() const { return m_sFSType; }
  const VolumeBitmapsPtr& GetBitmaps() const { return m_pBitmaps; }
  // Null when the volume has no such bitmap (or no bitmaps at all).
  unsigned char* GetDriverBmp() const { return Bitmap(VolumeBitmaps::kChange); }
  unsigned char* GetTrueUpBmp() const { return Bitmap(VolumeBitmaps::kTrueUp); }
  unsigned char* GetDataBlockBmp() const { return Bitmap(VolumeBitmaps::kDataOnly); }
  uint64_t GetDriverBmpSize() const { return m_nBitmapSize; }
  const BackupDeviceInfo& GetBlkDevInfo() const { return m_oDevice; }
  // The shared bitmaps own the buffer from now on.
  void SetTrueUpBmp(unsigned char* bitmap);

 private:
  unsigned char* Bitmap(int index) const { return m_pBitmaps ? (*m_pBitmaps)[index] : nullptr; }

  std::string m_sVolume;
  std::string m_sSourceDevice;
  std::string m_sSnapDevice;
  std::string m_sFSType;
  VolumeBitmapsPtr m_pBitmaps;
  uint64_t m_nBitmapSize = 0;
  BackupDeviceInfo m_oDevice;
};

// Whether a collect file was handed to the backup yet.
enum eCollectStatus_t { eCollectNotHandedOut = 0, eCollectHandedOut = 1 };

// One collect file of a volume: its full path and its number in the job.
struct CollectList {
  CollectList(const std::string& name, int id, eCollectStatus_t status) : sName(name), nId(id), eStatus(status) {}
  std::string sName;
  int nId;
  eCollectStatus_t eStatus;
};
