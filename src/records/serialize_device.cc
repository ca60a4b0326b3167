// The exported Serialize: one device-configuration line as the agent's
// block-backup-device message.
#include <string>

#include "blocklevel/blocklevel.h"
#include "library/entry_guard.h"
#include "platform/messages/uxa_messages.h"
#include "records/backup_device_info.h"

namespace {

std::string BlockBackupDeviceText(const std::string& line) {
  const BackupDeviceInfo device(line);
  Uxa::BlockBackupDevice message;
  const uint32_t check = 0x16E993C5;  // the message's own check number, on every field
  message.setint64(1, 1, device.IsCXBFDevice() ? 1 : 0, check, 0x69403);
  message.setstring(3, 3, device.GetSourceVolName(), check, 0x8EB5FE);
  message.setstring(4, 7, device.GetSourceDeviceName(), check, 0x4EED3A);
  message.setstring(5, 11, device.GetFSType(), check, 0x2CDDA7);
  message.setstring(6, 15, device.GetMountOpts(), check, 0x793BFA);
  message.setint64(8, 23, static_cast<int64_t>(device.GetExtentSize()), check, 0x2A6E4B);
  message.setint64(9, 24, static_cast<int64_t>(device.GetTotalBlocks()), check, 0xB411EA);
  message.setint64(12, 27, static_cast<int64_t>(device.GetFSBlockSize()), check, 0xCAB7E1);
  message.setint64(13, 28, static_cast<int64_t>(device.GetBitMapSize()), check, 0x1615D0);
  std::string text;
  message.serialize(text, false);
  return text;
}

}  // namespace

extern "C" std::string Serialize(const std::string& line) {
  return blocklevel::GuardEntryPointValue(__FUNCTION__, std::string(),
                                          [&] { return BlockBackupDeviceText(line); });
}
