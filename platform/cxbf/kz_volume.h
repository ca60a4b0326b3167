#pragma once
// The agent's volume class as far as the CXBF filter driver goes.
//
// The CXBF driver puts a pseudo-device over a real device and keeps a changed
// extent bitmap of it. KZVolumeUnix opened on the driver's control device
// "/dev/cxbf/ctrl" selects one pseudo-device by its volume name and answers
// for it: its geometry (a volume-information record), its bitmap, clearing
// it. No such driver exists here: the simulated one (simulated_cxbf.h)
// answers instead.
//
// Faults: "KZVolume::isCXBFDevice" (answers false), and "KZVolumeUnix::<call>"
// for selectVolume, getVolumeInformation, getBitmap, getAndClearBitmap,
// clearBitmap (each answers false) and GetFsBlockSize (answers 0).
#include <cstddef>
#include <cstdint>
#include <string>

// What getVolumeInformation fills; the bytes are the driver's (1136 of them).
struct KZVolumeInformation {
  static constexpr size_t kSize = 1136;
  unsigned char bytes[kSize];
};

class KZVolume {
 public:
  virtual ~KZVolume() = default;

  // Whether the path is a pseudo-device of the loaded CXBF driver.
  static bool isCXBFDevice(const std::string& device);
  // The volume name the driver knows a pseudo-device by: the text after the
  // path's last "/".
  static std::string getVolName(const std::string& device);

  // Selects the volume the calls below act on; false when the driver has none
  // of that name.
  virtual bool selectVolume(std::string name) = 0;
  virtual bool getVolumeInformation(KZVolumeInformation* information) = 0;
  // The selected volume's bitmap into buffer[0, count): bits past the
  // volume's extents are 0. The first argument is the driver's bitmap index,
  // always 0 here.
  virtual bool getBitmap(int index, unsigned char* buffer, uint64_t count, bool clear) = 0;
  // The same, the bitmap cleared by the same call.
  virtual bool getAndClearBitmap(int index, unsigned char* buffer, uint64_t count, bool clear) = 0;
  virtual bool clearBitmap(int index) = 0;
};

class KZVolumeUnix : public KZVolume {
 public:
  static constexpr const char* kControlDevice = "/dev/cxbf/ctrl";

  // Opens nothing: every call reaches the driver by itself.
  explicit KZVolumeUnix(const std::string& controlDevice) : m_sControlDevice(controlDevice) {}

  bool selectVolume(std::string name) override;
  bool getVolumeInformation(KZVolumeInformation* information) override;
  bool getBitmap(int index, unsigned char* buffer, uint64_t count, bool clear) override;
  bool getAndClearBitmap(int index, unsigned char* buffer, uint64_t count, bool clear) override;
  bool clearBitmap(int index) override;
  // The file-system block size the driver works with (4096 unless the harness
  // set another); 0 on failure.
  uint64_t GetFsBlockSize();

 private:
  // Whether this object is on the driver's control device and it is loaded.
  bool OnLoadedDriver() const;
  bool ReadBitmap(unsigned char* buffer, uint64_t count, bool clear);

  std::string m_sControlDevice;
  std::string m_sVolume;  // empty until a volume is selected
};
