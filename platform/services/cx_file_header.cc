#include "platform/services/cx_file_header.h"

#include <algorithm>
#include <cstring>

CXFileHeader::CXFileHeader() { Clear(); }

void CXFileHeader::Clear() { std::memset(static_cast<void*>(this), 0, sizeof(*this)); }

size_t CXFileHeader::SetFileName(const std::string& name, size_t limit) {
  const size_t stored = ::strnlen(name.c_str(), std::min({limit, kMaxFileNameLength, name.size()}));
  std::memcpy(h_filename, name.data(), stored);
  std::memset(h_filename + stored, 0, kFileNameSize - stored);
  return stored;
}

std::string CXFileHeader::GetFileName() const { return std::string(h_filename, ::strnlen(h_filename, kFileNameSize)); }
