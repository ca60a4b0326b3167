#pragma once
// UxaBackup: the Oracle agent's backup service. Its database-content query
// answers from the instance's data files (platform::OracleContent):
//
//   request  (1,1) instance id, (3,3) application id, (5,5) request kind
//   reply    (7,7) the pluggable databases, each (3,9) its table spaces,
//                  when any file of the instance has one;
//            (6,6) the table spaces of the files without one;
//            each table space (8,14) its data files, each (1,1) its path;
//            (8,8) the instance's status.
//
// Table spaces and databases come in the order of their first file. Every
// request is logged with its three fields.
//
// Fault: "UxaBackup::getDatabaseContent" (returns the fault's code, the
// message untouched).
#include <cstdint>

#include "platform/codec/nmessage_base.h"

class UxaBackup {
 public:
  // 0 when the reply was filled (its status may still tell a failure); -1
  // for a message that is not a database-content message; 1627 (the
  // message untouched) when the agent's records cannot be read.
  static int getDatabaseContent(uint32_t appType, int reserved, CNMessageBase& message);
};
