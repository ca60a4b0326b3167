#pragma once
// "OraVolumeType.kzf" in an Oracle subclient's directory: whether each volume
// its block-level backups took holds Oracle data ("DATA") or logs ("LOGS"),
// one codec line per volume in byte order of the volumes, every volume
// written so far kept. The index of the block-level backup takes it from
// there.
#include <string>

#include "platform/error/qi_error.h"

namespace devconfig {

constexpr const char* kOracleVolumeTypeFile = "OraVolumeType.kzf";

// Records the volume's type after the snapshot of an Oracle job (types 22
// and 80; anything else, or before the snapshot, is success untouched):
// "LOGS" when logs is set, else "DATA". The file is replaced whole, so a
// failure leaves the one before.
CQiError WriteOracleVolumeType(bool postSnap, int appType, int appId, int cellId, const std::string& volume,
                               bool logs);

}  // namespace devconfig
