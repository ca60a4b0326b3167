#include "tracking/cbf_driver_interface.h"

#include <cstring>
#include <new>
#include <vector>

#include "platform/log/ev_debug.h"
#include "platform/process/kz_process.h"
#include "platform/text/fx_string.h"
#include "tracking/configured_extent_size.h"
#include "tracking/lvm_device_names.h"
#include "tracking/volume_bitmap_helper.h"
#include "platform/process/shell_quote.h"

KzBfDriver CBFDriverInterface::m_oKzBf;

namespace {

constexpr const char* kListSnapshots = "lvs --noheadings --separator : -o lv_name,vg_name,origin   2>/dev/null | tr -d ' '";
constexpr const char* kSnapshotPrefix = "kznv_";
#define kGetAndClearFailed "GetAndClearBM failed for device[%s], error=%s"
#define kGetFailed "GetBM failed for device[%s], error=%s"

}  // namespace

CQiError CBFDriverInterface::GetAndClearBitmap(auto_ptr_array<unsigned char>& bitmap, const uint64_t& size) {
  return ReadBitmap(bitmap, size, true);
}

CQiError CBFDriverInterface::GetBitmap(auto_ptr_array<unsigned char>& bitmap, const uint64_t& size) {
  return ReadBitmap(bitmap, size, false);
}

CQiError CBFDriverInterface::ReadBitmap(auto_ptr_array<unsigned char>& bitmap, const uint64_t& size, bool clear) {
  unsigned char* buffer = new (std::nothrow) unsigned char[size];
  if (buffer == nullptr)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, 12, "Failed to allocate %llu bytes of bitmap for device[%s]",
                                   static_cast<unsigned long long>(size), m_sDevice.c_str());
  std::memset(buffer, 0, size);
  bitmap.reset(buffer);

  std::vector<char> driverBitmap(size, 0);
  CQiError result = m_oKzBf.getBitmap(m_sDevice, &driverBitmap, clear);
  if (result.IsError()) return result.Push(FXCODELOC, clear ? kGetAndClearFailed : kGetFailed, m_sDevice.c_str(), result.AsString().c_str());
  // A driver that hands back less than asked for must not make us read past
  // its vector; the caller keeps the zeroed buffer.
  if (driverBitmap.size() < size)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, 22, clear ? kGetAndClearFailed : kGetFailed, m_sDevice.c_str(),
                                   FXString::Format("driver returned %llu bytes, %llu expected",
                                                    static_cast<unsigned long long>(driverBitmap.size()),
                                                    static_cast<unsigned long long>(size))
                                       .c_str());
  if (VolumeBitMapHelper::IsInspectRequested()) VolumeBitMapHelper::InspectBitMap(
      reinterpret_cast<const unsigned char*>(driverBitmap.data()), static_cast<unsigned long>(size));
  std::memcpy(buffer, driverBitmap.data(), size);
  return CQiError();
}

CQiError CBFDriverInterface::StartBlockFilter(bool& alreadyAttached) {
  alreadyAttached = false;
  const int extentSize = static_cast<int>(tracking::ConfiguredExtentSize());
  CQiError result = m_oKzBf.attachDevice(m_sDevice, extentSize);
  if (!result.IsError()) return result;
  if (FXErrorUtil::IsErrNo(result, 114)) {
    alreadyAttached = true;
    return CQiError();
  }
  return result.Push(FXCODELOC, "Failed to attach to device[%s], error=%s", m_sDevice.c_str(),
                     result.AsString().c_str());
}

CQiError CBFDriverInterface::StopBlockFilter() {
  bool attached = false;
  int64_t deviceSize = 0;
  int extentSize = 0, extentCount = 0;
  std::list<std::string> snapshots;
  CQiError result = QueryBlockFilter(&attached, &deviceSize, &extentSize, &extentCount, &snapshots);
  if (result.IsError()) return result.Push(FXCODELOC);
  if (!attached) return CQiError();
  EvDebug log;
  for (const std::string& snapshot : snapshots) {
    CQiError destroyed = m_oKzBf.destroySnap(snapshot);
    if (destroyed.IsError())
      log.DebugLvl(__FUNCTION__, -1, "Failed to destroy snap [%s] for device [%s], error=[%s]", snapshot.c_str(),
                   m_sDevice.c_str(), destroyed.AsString().c_str());
  }
  return m_oKzBf.detachDevice(m_sDevice);
}

CQiError CBFDriverInterface::QueryBlockFilter(bool* attached, int64_t* deviceSize, int* extentSize,
                                              int* extentCount, std::list<std::string>* snapshots) {
  CQiError result = m_oKzBf.queryDevice(m_sDevice, attached, deviceSize, extentSize, extentCount, snapshots);
  if (result.IsError()) return result.Push(FXCODELOC);
  return result;
}

CQiError CBFDriverInterface::queryLVMSnaps(std::list<std::string>* snapshots) {
  EvDebug log;
  std::string vg, lv;
  if (lvmnames::Parse(m_sDevice, vg, lv) == lvmnames::PathKind::kNotLvm) {
    log.DebugLvl(__FUNCTION__, 1, "skipping non-LVM device[%s]", m_sDevice.c_str());
    return CQiError();
  }
  log.DebugLvl(__FUNCTION__, 0, "LV device[%s]  shortnames[%s:%s]", m_sDevice.c_str(), vg.c_str(), lv.c_str());

  std::string output, error;
  if (KzProcess::system(kListSnapshots, &output, &error, 0, false) != 0)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "command [%s] execution failed, err=[%s]", kListSnapshots,
                                   error.c_str());
  if (output.empty()) return CQiError();
  for (const FXString& line : FXString::Split(output, '\n')) {
    const std::vector<FXString> fields = FXString::Split(line, ':');
    if (fields.size() != 3 || fields[2].empty()) continue;
    if (!fields[0].MatchLeft(kSnapshotPrefix)) continue;
    if (fields[1] != vg || fields[2] != lv) continue;
    if (snapshots) snapshots->push_back(lvmnames::MapperPath(vg, fields[0]));
  }
  return CQiError();
}

void CBFDriverInterface::destroyLVMSnaps(std::list<std::string>* snapshots) {
  if (snapshots == nullptr) return;
  EvDebug log;
  for (const std::string& snapshot : *snapshots) {
    log.DebugLvl(__FUNCTION__, 0, "UnSnapping = %s", snapshot.c_str());
    std::string output, error;
    if (KzProcess::system("lvremove -f " + platform::ShellQuote(snapshot), &output, &error, 0, false) != 0)
      log.DebugLvl(__FUNCTION__, -1, "Failed to destroy snap [%s] for device [%s]", snapshot.c_str(),
                   m_sDevice.c_str());
  }
}
