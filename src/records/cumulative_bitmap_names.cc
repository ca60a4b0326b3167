#include "records/cumulative_bitmap_names.h"

namespace records {
namespace {

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

bool IsCumulativeBitmapName(const std::string& name) {
  return EndsWith(name, ".bmp") || EndsWith(name, ".bmp.7z");
}

}  // namespace records
