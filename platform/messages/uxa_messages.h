#pragma once
// Generated message classes of the file-system agent's module (22).
#include "platform/messages/generated_message.h"

namespace Uxa {

// The geometry of one block-backup device.
class BlockBackupDevice : public CNGeneratedMessage<22, 229, 0x16E993C5> {
 public:
  static constexpr CNFieldId kIsCXBFDevice{1, 1, 0x69403};
  static constexpr CNFieldId kSourceVolume{3, 3, 0x8EB5FE};
  static constexpr CNFieldId kSourceDevice{4, 7, 0x4EED3A};
  static constexpr CNFieldId kFSType{5, 11, 0x2CDDA7};
  static constexpr CNFieldId kMountOptions{6, 15, 0x793BFA};
  static constexpr CNFieldId kExtentSize{8, 23, 0x2A6E4B};
  static constexpr CNFieldId kTotalBlocks{9, 24, 0xB411EA};
  static constexpr CNFieldId kFSBlockSize{12, 27, 0xCAB7E1};
  static constexpr CNFieldId kBitMapSize{13, 28, 0x1615D0};
  static constexpr CNFieldId kDiskSize{19, 40, 0};
};

// The content of an Oracle database subclient (request and reply).
class OraDatabaseContent : public CNGeneratedMessage<22, 260, 0x16AE7A69> {
 public:
  static constexpr CNFieldId kInstanceId{1, 1, 0};
  static constexpr CNFieldId kAppId{3, 3, 0};
  static constexpr CNFieldId kRequestKind{5, 5, 0};
  static constexpr CNFieldId kTableSpaces{6, 6, 0};
  static constexpr CNFieldId kPDBs{7, 7, 0};
  static constexpr CNFieldId kStatus{8, 8, 0};
};

// One pluggable database of a reply.
class OraPDB : public CNGeneratedMessage<22, 261, 0x165094A5> {
 public:
  static constexpr CNFieldId kTableSpaces{3, 9, 0};
};

class OraTableSpace : public CNGeneratedMessage<22, 262, 0x165310B7> {
 public:
  static constexpr CNFieldId kDataFiles{8, 14, 0};
};

class OraDataFile : public CNGeneratedMessage<22, 263, 0x16706B97> {
 public:
  static constexpr CNFieldId kPath{1, 1, 0};
};

// An Oracle volume and its data type ("DATA" or "LOGS").
class OraVolumeDataType : public CNGeneratedMessage<22, 295, 0x160EFD9C> {
 public:
  static constexpr CNFieldId kVolume{1, 1, 0xAAE71A};
  static constexpr CNFieldId kType{2, 5, 0xA30E04};
};

}  // namespace Uxa
