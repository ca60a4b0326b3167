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
// "/data"). A non-zero windowsDestination names objects of a Windows client,
// whose paths do not tell case apart; 0 keeps the text as it is.
std::string GetObjectGuid(const std::string& text, int windowsDestination, char delimiter);

// The key of one version of a named object: the object's path, the
// subclient's GUID, the job that made the version and three further
// numbers, derived as GetObjectGuid derives its keys (into `guid`).
void GetVersionGuid(const std::string& path, const std::string& subclientGuid, uint64_t jobId, uint64_t first,
                    uint64_t second, uint64_t third, int windowsDestination, char delimiter, std::string& guid);
