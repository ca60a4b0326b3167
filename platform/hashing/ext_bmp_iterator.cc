#include <endian.h>

#include <cerrno>
#include <cstring>

#include "platform/hashing/extent_iterator.h"
#include "platform/sim/fault_table.h"

CQiError CExtBmpIterator::Initialize(const unsigned char* bitmap, unsigned long long size, unsigned long long offset,
                                     unsigned long long firstExtent) {
  CQiError fault = platform::InjectedFault("CExtBmpIterator::Initialize", FXCODELOC);
  if (fault.IsError()) return fault;
  m_bInitialized = false;
  if (bitmap == nullptr && size != 0)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "Null bitmap of %llu bytes", size);
  if (size > ~0ull / 8 || (size != 0 && firstExtent > ~0ull - (size * 8 - 1)))
    return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "Bitmap of %llu bytes from extent %llu runs past the last extent",
                                   size, firstExtent);
  m_pBitmap = bitmap;
  m_nBits = size * 8;
  m_nNext = offset;
  m_nFirstExtent = firstExtent;
  m_bInitialized = true;
  return CQiError();
}

CQiError CExtBmpIterator::GetNextExtent(unsigned long long& extent, bool& found) {
  found = false;
  if (!m_bInitialized)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "Bitmap iterator used before it was initialized");
  const unsigned long long bytes = m_nBits / 8;
  while (m_nNext < m_nBits) {
    const unsigned long long word = m_nNext / 64;
    const unsigned long long at = word * 8;
    uint64_t bits = 0;
    std::memcpy(&bits, m_pBitmap + at, bytes - at < 8 ? bytes - at : 8);
    bits = le64toh(bits) & (~0ull << (m_nNext % 64));
    if (bits != 0) {
      const unsigned long long bit = word * 64 + static_cast<unsigned>(__builtin_ctzll(bits));
      m_nNext = bit + 1;
      extent = m_nFirstExtent + bit;
      found = true;
      return CQiError();
    }
    m_nNext = (word + 1) * 64;
  }
  return CQiError();
}
