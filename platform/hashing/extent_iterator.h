#pragma once
// Extent iterators: where a hash read handler takes the extents it reads
// and hashes, in the order it hands them out.
//
// CExtCollectIterator walks the extents named by the lines of a collect file
// (a volume path, "/", an extent name); CExtBmpIterator walks the set bits of
// a piece of a volume's bitmap. An iterator belongs to one thread at a time.
#include <string>

#include "platform/error/qi_error.h"
#include "platform/hashing/file_lines.h"
#include "platform/memory/auto_handle.h"

class IExtentIterator {
 public:
  virtual ~IExtentIterator() = default;
  // The next extent; `found` false (extent untouched) once none is left.
  // A failure stays: every later call fails the same way.
  virtual CQiError GetNextExtent(unsigned long long& extent, bool& found) = 0;
};

// Fault: "CExtCollectIterator::Initialize".
class CExtCollectIterator : public IExtentIterator {
 public:
  // Longest line taken for a collect line (a volume path and a name).
  static constexpr size_t kMaxLine = 1 << 16;

  CExtCollectIterator();
  ~CExtCollectIterator() override;
  CExtCollectIterator(const CExtCollectIterator&) = delete;
  CExtCollectIterator& operator=(const CExtCollectIterator&) = delete;

  // Opens the collect file and skips to its 0-based line `start` (a file of
  // fewer lines gives no extent); reserved is not read.
  CQiError Initialize(const std::string& path, unsigned long long start, int reserved);
  // A line that is not a collect line (no "/", no extent name after the last
  // one, an empty line) fails with 774: an extent is never skipped silently.
  CQiError GetNextExtent(unsigned long long& extent, bool& found) override;

 private:
  std::string m_sPath;
  auto_handle m_oFile;
  platform::FileLines m_oLines;
  unsigned long long m_nLine = 0;  // 0-based number of the next line
  bool m_bAtEnd = false;
  CQiError m_oFailure;
};

// Fault: "CExtBmpIterator::Initialize".
class CExtBmpIterator : public IExtentIterator {
 public:
  // The bitmap is the caller's and must outlive the iterator. Bit i (bit
  // i mod 8 of byte i div 8) stands for extent firstExtent + i; bits from
  // `offset` on are walked, `offset` included. A null bitmap of a non-zero
  // size, or extent numbers past 64 bits, fail with 22.
  CQiError Initialize(const unsigned char* bitmap, unsigned long long size, unsigned long long offset,
                      unsigned long long firstExtent);
  CQiError GetNextExtent(unsigned long long& extent, bool& found) override;

 private:
  const unsigned char* m_pBitmap = nullptr;
  unsigned long long m_nBits = 0;
  unsigned long long m_nNext = 0;  // the next bit to look at
  unsigned long long m_nFirstExtent = 0;
  bool m_bInitialized = false;
};
