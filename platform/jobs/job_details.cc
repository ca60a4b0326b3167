#include "platform/jobs/job_details.h"

#include <cstdlib>

#include "platform/settings/settings.h"
#include "platform/sim/fs_util.h"

namespace platform {
namespace {

std::string DetailPath(uint64_t jobId, const char* name) {
  return Settings::StatePath("jobs/" + std::to_string(jobId) + "/" + name);
}

bool WriteDetail(uint64_t jobId, const char* name, const std::string& contents) {
  const std::string path = DetailPath(jobId, name);
  return MakeDirectoriesDurably(ParentOf(path)) && WriteFileAtomically(path, contents);
}

}  // namespace

std::optional<uint64_t> JobAttributes(uint64_t jobId) {
  std::string text;
  if (!ReadWholeFile(DetailPath(jobId, "attributes"), text) || text.empty()) return std::nullopt;
  char* end = nullptr;
  const uint64_t attributes = std::strtoull(text.c_str(), &end, 10);
  if (end == text.c_str() || (*end != '\0' && *end != '\n')) return std::nullopt;
  return attributes;
}

bool SetJobAttributes(uint64_t jobId, uint64_t attributes) {
  return WriteDetail(jobId, "attributes", std::to_string(attributes) + "\n");
}

std::optional<std::string> JobXmlBlob(uint64_t jobId) {
  std::string blob;
  if (!ReadWholeFile(DetailPath(jobId, "xml_blob"), blob)) return std::nullopt;
  return blob;
}

bool SetJobXmlBlob(uint64_t jobId, const std::string& blob) {
  return WriteDetail(jobId, "xml_blob", blob);
}

}  // namespace platform
