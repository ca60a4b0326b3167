#include "platform/hashing/get_guid.h"

#include <openssl/evp.h>

namespace {

constexpr unsigned kDigestBytes = 16;

// One thread's digest context, freed when the thread ends.
class ThreadDigest {
 public:
  ThreadDigest() : m_pMd(EVP_MD_fetch(nullptr, "MD5", nullptr)), m_pContext(EVP_MD_CTX_new()) {}
  ~ThreadDigest() {
    EVP_MD_CTX_free(m_pContext);
    EVP_MD_free(m_pMd);
  }
  ThreadDigest(const ThreadDigest&) = delete;
  ThreadDigest& operator=(const ThreadDigest&) = delete;

  bool Digest(const unsigned char* buffer, size_t length, unsigned char* digest) {
    unsigned size = 0;
    return m_pMd != nullptr && m_pContext != nullptr && EVP_DigestInit_ex(m_pContext, m_pMd, nullptr) == 1 &&
           EVP_DigestUpdate(m_pContext, buffer, length) == 1 && EVP_DigestFinal_ex(m_pContext, digest, &size) == 1 &&
           size == kDigestBytes;
  }

 private:
  EVP_MD* m_pMd;
  EVP_MD_CTX* m_pContext;
};

}  // namespace

bool GetGUID(const unsigned char* buffer, int length, std::string& out) {
  out.clear();
  if (length < 0 || (buffer == nullptr && length != 0)) return false;
  static const unsigned char kNothing = 0;
  thread_local ThreadDigest digest;
  unsigned char bytes[EVP_MAX_MD_SIZE];
  if (!digest.Digest(buffer != nullptr ? buffer : &kNothing, static_cast<size_t>(length), bytes)) return false;
  static const char kHex[] = "0123456789abcdef";
  char text[2 * kDigestBytes];
  for (unsigned i = 0; i < kDigestBytes; ++i) {
    text[2 * i] = kHex[bytes[i] >> 4];
    text[2 * i + 1] = kHex[bytes[i] & 0x0F];
  }
  out.assign(text, sizeof text);
  return true;
}
