#include <fcntl.h>
#include <string.h>

#include <cerrno>

#include "platform/hashing/extent_iterator.h"
#include "platform/hashing/extent_name_converter.h"
#include "platform/sim/fault_table.h"

namespace {

constexpr unsigned kErrorBadLine = 774;
// Longest extent name a collect line may end with.
constexpr size_t kMaxNameDigits = 12;
// How much of a bad line an error shows.
constexpr size_t kShownBytes = 256;

}  // namespace

CExtCollectIterator::CExtCollectIterator() : m_oLines(kMaxLine) {}
CExtCollectIterator::~CExtCollectIterator() = default;

CQiError CExtCollectIterator::Initialize(const std::string& path, unsigned long long start, int) {
  CQiError fault = platform::InjectedFault("CExtCollectIterator::Initialize", FXCODELOC);
  if (fault.IsError()) return fault;
  m_sPath = path;
  m_oLines.Reset();
  m_nLine = 0;
  m_bAtEnd = false;
  m_oFailure = CQiError();
  m_oFile.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (m_oFile.get() < 0)
    return m_oFailure = FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to open collect file [%s]", path.c_str());
  while (m_nLine < start && !m_bAtEnd) {
    bool skipped = false;
    CQiError err = m_oLines.Skip(m_oFile.get(), m_sPath, skipped);
    if (err.IsError()) return m_oFailure = err.Push(FXCODELOC);
    m_bAtEnd = !skipped;  // fewer lines than the start
    m_nLine += skipped ? 1 : 0;
  }
  return CQiError();
}

CQiError CExtCollectIterator::GetNextExtent(unsigned long long& extent, bool& found) {
  found = false;
  if (m_oFailure.IsError()) return m_oFailure;
  if (m_oFile.get() < 0)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "Collect iterator used before it was initialized");
  if (m_bAtEnd) return CQiError();
  platform::FileLines::Kind kind;
  const char* line = nullptr;
  size_t length = 0;
  CQiError err = m_oLines.Next(m_oFile.get(), m_sPath, kind, line, length);
  if (err.IsError()) return m_oFailure = err.Push(FXCODELOC);
  if (kind == platform::FileLines::Kind::kEnd) {
    m_bAtEnd = true;
    return CQiError();
  }
  // A last line without its line feed is still a line.
  const char* slash =
      kind != platform::FileLines::Kind::kTooLong ? static_cast<const char*>(::memrchr(line, '/', length)) : nullptr;
  const size_t nameLength = slash != nullptr ? static_cast<size_t>(line + length - slash - 1) : 0;
  unsigned long long id = ExtentNameConverter::kInvalidExtent;
  if (nameLength >= 1 && nameLength <= kMaxNameDigits)
    id = ExtentNameConverter::Extent_base32_to_dec(std::string(slash + 1, nameLength));
  if (id == ExtentNameConverter::kInvalidExtent) {
    const std::string shown(line, length < kShownBytes ? length : kShownBytes);
    return m_oFailure = FXErrorUtil::ErrorWin32(FXCODELOC, kErrorBadLine, "Invalid collect line [%s] at line %llu of [%s]",
                                                shown.c_str(), m_nLine, m_sPath.c_str());
  }
  ++m_nLine;
  extent = id;
  found = true;
  return CQiError();
}
