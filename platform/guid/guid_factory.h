#pragma once
// Stable text keys derived from a text (a mount path, a device path).
//
// Both keys are the same for the same input on every run and every machine,
// and hold only characters that are safe in a file name. They come from two
// different derivations, so a per-volume key never equals an object key.
#include <cstdint>
#include <string>

class CGuidFactory {
 public:
  // Upper-case GUID form "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" of the text.
  static std::string get_guid_nosalt(const std::string& text);
};

// The key of a named object: 32 lower-case hexadecimal digits. Texts that
// differ only by trailing delimiters name the same object ("/data/" is
// "/data"); flags are reserved and must be 0.
std::string GetObjectGuid(const std::string& text, int flags, char delimiter);

// The key of one version of a named object: 32 lower-case hexadecimal digits
// of the object's path (trailing delimiters aside), the owning application's
// GUID and the five version numbers (times, size, ...), written to `guid`.
// Always 0; flags are reserved and must be 0.
int GetVersionGuid(const std::string& path, const std::string& appGuid, uint64_t first, uint64_t second, uint64_t third,
                   uint64_t fourth, uint64_t fifth, char delimiter, std::string& guid, int flags);
