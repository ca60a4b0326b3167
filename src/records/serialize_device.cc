// The exported Serialize: one device-configuration line as the agent's
// block-backup-device message.
#include <string>

#include "blocklevel/blocklevel.h"
#include "library/entry_guard.h"
#include "platform/messages/uxa_messages.h"
#include "records/backup_device_info.h"

namespace {

using Device = Uxa::BlockBackupDevice;

void SetNumber(Device& message, const CNFieldId& field, uint64_t value) {
  message.setint64(field.number, field.tag, static_cast<int64_t>(value), Device::kTagId, field.check);
}

void SetText(Device& message, const CNFieldId& field, const std::string& value) {
  message.setstring(field.number, field.tag, value, Device::kTagId, field.check);
}

std::string BlockBackupDeviceText(const std::string& line) {
  const BackupDeviceInfo device(line);
  Device message;
  SetNumber(message, Device::kIsCXBFDevice, device.IsCXBFDevice() ? 1 : 0);
  SetText(message, Device::kSourceVolume, device.GetSourceVolName());
  SetText(message, Device::kSourceDevice, device.GetSourceDeviceName());
  SetText(message, Device::kFSType, device.GetFSType());
  SetText(message, Device::kMountOptions, device.GetMountOpts());
  SetNumber(message, Device::kExtentSize, device.GetExtentSize());
  SetNumber(message, Device::kTotalBlocks, device.GetTotalBlocks());
  SetNumber(message, Device::kFSBlockSize, device.GetFSBlockSize());
  SetNumber(message, Device::kBitMapSize, device.GetBitMapSize());
  std::string text;
  message.serialize(text, false);
  return text;
}

}  // namespace

extern "C" std::string Serialize(const std::string& line) {
  return blocklevel::GuardEntryPointValue(__FUNCTION__, std::string(),
                                          [&] { return BlockBackupDeviceText(line); });
}
