#include "platform/guid/guid_factory.h"

#include <openssl/evp.h>

#include <array>
#include <cctype>
#include <cstdio>

namespace {

using Digest = std::array<unsigned char, 16>;

// MD5 of the salt followed by the text. Keys only need to be stable and
// well spread, not secret. EVP failures cannot happen for MD5 short of
// memory exhaustion; the key then falls back to all zeros rather than a
// partly filled one.
Digest Md5(const char* salt, const std::string& text) {
  Digest digest{};
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  if (context == nullptr) return digest;
  unsigned int length = 0;
  bool ok = EVP_DigestInit_ex(context, EVP_md5(), nullptr) == 1 &&
            EVP_DigestUpdate(context, salt, std::char_traits<char>::length(salt)) == 1 &&
            EVP_DigestUpdate(context, text.data(), text.size()) == 1 &&
            EVP_DigestFinal_ex(context, digest.data(), &length) == 1 && length == digest.size();
  EVP_MD_CTX_free(context);
  if (!ok) digest.fill(0);
  return digest;
}

std::string HexKey(const Digest& d) {
  static const char kHex[] = "0123456789abcdef";
  std::string key;
  key.reserve(32);
  for (unsigned char byte : d) {
    key.push_back(kHex[byte >> 4]);
    key.push_back(kHex[byte & 0x0F]);
  }
  return key;
}

std::string ObjectName(const std::string& text, int windowsDestination, char delimiter) {
  std::string name = text;
  while (name.size() > 1 && name.back() == delimiter) name.pop_back();
  if (windowsDestination != 0)
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name;
}

}  // namespace

std::string CGuidFactory::get_guid_nosalt(const std::string& text) {
  Digest d = Md5("volume-guid:", text);
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", d[0],
                d[1], d[2], d[3], d[4], d[5], d[6], d[7], d[8], d[9], d[10], d[11], d[12], d[13], d[14], d[15]);
  return buffer;
}

std::string GetObjectGuid(const std::string& text, int windowsDestination, char delimiter) {
  return HexKey(Md5("object-guid:", ObjectName(text, windowsDestination, delimiter)));
}

void GetVersionGuid(const std::string& path, const std::string& subclientGuid, uint64_t jobId, uint64_t first,
                    uint64_t second, uint64_t third, int windowsDestination, char delimiter, std::string& guid) {
  const std::string text = ObjectName(path, windowsDestination, delimiter) + '\0' + subclientGuid + '\0' +
                           std::to_string(jobId) + ':' + std::to_string(first) + ':' + std::to_string(second) + ':' +
                           std::to_string(third);
  guid = HexKey(Md5("version-guid:", text));
}
