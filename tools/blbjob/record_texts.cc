#include "record_texts.h"

#include <string>

#include "verbs/error_report.h"

namespace blbjob {
namespace {

// The character as the message shows it.
const char* Shown(char c) {
  if (c == '\r') return "a carriage return (\\r)";
  if (c == '\n') return "a line feed (\\n)";
  return "'|'";
}

// The text on one line: carriage returns and line feeds written as escapes.
std::string OnOneLine(const std::string& text) {
  std::string line;
  for (char c : text) line += c == '\r' ? "\\r" : c == '\n' ? "\\n" : std::string(1, c);
  return line;
}

}  // namespace

bool FitsTheJobRecords(const SMVolBlock& volume) {
  const std::pair<const char*, const std::string*> texts[] = {{"mount path", &volume.sVolume},
                                                              {"device path", &volume.sDevice},
                                                              {"file-system type", &volume.sFSType},
                                                              {"mount options", &volume.sMountOptions}};
  for (const auto& [name, text] : texts) {
    const size_t at = text->find_first_of("|\r\n");
    if (at == std::string::npos) continue;
    const std::string of = text == &volume.sVolume ? "" : " of volume \"" + OnOneLine(volume.sVolume) + "\"";
    tools::PrintErrorLine("the %s \"%s\"%s holds %s, which the job's records cannot carry", name,
                          OnOneLine(*text).c_str(), of.c_str(), Shown((*text)[at]));
    return false;
  }
  return true;
}

}  // namespace blbjob
