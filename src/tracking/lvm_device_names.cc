#include "tracking/lvm_device_names.h"

#include <vector>

#include "platform/text/fx_string.h"

namespace lvmnames {
namespace {

std::string Undouble(const std::string& name) {
  std::string plain;
  for (size_t i = 0; i < name.size(); ++i) {
    plain += name[i];
    if (name[i] == '-' && i + 1 < name.size() && name[i + 1] == '-') ++i;
  }
  return plain;
}

std::string Double(const std::string& name) {
  std::string doubled;
  for (char c : name) {
    doubled += c;
    if (c == '-') doubled += '-';
  }
  return doubled;
}

}  // namespace

PathKind Parse(const std::string& device, std::string& vg, std::string& lv) {
  vg.clear();
  lv.clear();
  if (device.find("/dev/mapper/") != std::string::npos) {
    const std::string name = device.substr(device.find_last_of('/') + 1);
    // Pairs of "-" belong to a name; the last "-" left single separates them.
    size_t separator = std::string::npos;
    for (size_t i = 0; i < name.size(); ++i) {
      if (name[i] != '-') continue;
      if (i + 1 < name.size() && name[i + 1] == '-') {
        ++i;
        continue;
      }
      separator = i;
    }
    if (separator != std::string::npos) {
      vg = Undouble(name.substr(0, separator));
      lv = Undouble(name.substr(separator + 1));
    }
    return PathKind::kMapper;
  }
  if (device.find("/dev/") != std::string::npos) {
    const std::vector<FXString> fields = FXString::Split(device, '/');
    if (fields.size() != 4) return PathKind::kNotLvm;
    vg = fields[2];
    lv = fields[3];
    return PathKind::kVgLv;
  }
  return PathKind::kUnknown;
}

std::string MapperPath(const std::string& vg, const std::string& lv) {
  return "/dev/mapper/" + Double(vg) + "-" + Double(lv);
}

}  // namespace lvmnames
