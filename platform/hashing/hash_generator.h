#pragma once
// CHashGenerator: how the extent-hashing library reads and hashes the
// extents it is asked for. The library's caller supplies the implementation
// (reading a snapshot device and hashing with a function it plugs in); the
// hashing library only calls these operations, from its own threads when its
// mode asks for them.
#include <string>

#include "platform/error/qi_error.h"

class CHashGenerator {
 public:
  // Hashes `length` bytes of the buffer into a text.
  typedef CQiError (*HashCallback_Fp)(unsigned char* buffer, unsigned long long length, std::string& hash);

  virtual ~CHashGenerator() = default;
  // Set-up before the first read; an implementation that needs none succeeds.
  virtual CQiError Intialize() { return CQiError(); }
  // ReadBuffer, then GetHash over the whole length.
  virtual CQiError ReadBufferAndGetHash(unsigned long long offset, unsigned long long length, unsigned char* buffer,
                                        std::string& hash) = 0;
  // Reads `length` bytes at the byte offset into the buffer.
  virtual CQiError ReadBuffer(unsigned long long offset, unsigned long long length, unsigned char* buffer) = 0;
  virtual CQiError GetHash(unsigned char* buffer, unsigned long long length, std::string& hash) = 0;
};
