#include "job_arguments.h"

#include <cerrno>
#include <cstdlib>
#include <map>

#include "platform/jobs/backup_level.h"

namespace blbjob {
namespace {

// Why a value past its limit cannot be taken.
constexpr const char* kJobIdLimit = "the largest job id a later job's -lsjid can name";
constexpr const char* kSubclientIdLimit = "the largest id the subclient's job-results directory is found by";

bool IsDigits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// A whole decimal number up to the limit: digits only.
bool IsNumber(const std::string& text, uint64_t limit) {
  if (!IsDigits(text)) return false;
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
  return errno == 0 && value <= limit;
}

// What is wrong with `number`, a part of the option's value or the whole.
std::string NotANumber(const std::string& option, const std::string& value, const std::string& number, uint64_t limit,
                       const char* reason) {
  const std::string wrong = "job argument " + option + " " + value + ": ";
  if (!IsDigits(number)) return wrong + "not a whole number" + (number == value ? "" : " in CELL:APP");
  return wrong + number + " is above " + std::to_string(limit) + (*reason != '\0' ? ", " : "") + reason;
}

}  // namespace

bool CheckJobArguments(const tools::Args& args, std::string& why) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& option = args[i];
    const bool jobId = option == "-j" || option == "-snapJID" || option == "-lsjid";
    if (!jobId && option != "-a" && option != "-t") {
      // The library's other options with a value: the value is no option.
      if (option == "-jt" || option == "-d") ++i;
      continue;
    }
    if (i + 1 == args.size()) {
      // The library refuses the others itself; a "-lsjid" alone would make
      // the scan take no last job.
      if (option == "-lsjid") why = "job argument -lsjid needs the id of the last job that completed";
      return why.empty();
    }
    const std::string& value = args[++i];
    if (option == "-a") {
      const size_t colon = value.find(':');
      if (colon == std::string::npos) {
        why = "job argument -a " + value + ": not CELL:APP";
        return false;
      }
      for (const std::string& id : {value.substr(0, colon), value.substr(colon + 1)}) {
        if (IsNumber(id, kLargestSubclientId)) continue;
        why = NotANumber(option, value, id, kLargestSubclientId, kSubclientIdLimit);
        return false;
      }
    } else if (!IsNumber(value, jobId ? kLargestJobId : INT32_MAX)) {
      why = NotANumber(option, value, value, jobId ? kLargestJobId : INT32_MAX, jobId ? kJobIdLimit : "");
      return false;
    }
  }
  return true;
}

std::string WhyNoJob(const tools::Args& args) {
  constexpr const char* kNoJob = "the job arguments name no job (-a CELL:APP -j JOB -t LEVEL -d HOST)";
  // The last value of each option the library reads one for, read as it
  // reads them: an option's value is no option.
  std::map<std::string, std::string> given;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (option != "-a" && option != "-j" && option != "-t" && option != "-jt" && option != "-d" && option != "-snapJID")
      continue;
    if (i + 1 == args.size()) return "job argument " + option + " needs a value";
    given[option] = args[++i];
  }
  for (const char* option : {"-a", "-j", "-t", "-d"})
    if (given.count(option) == 0) return kNoJob;
  // CheckJobArguments took each number's digits.
  const auto zero = [](const std::string& digits) { return std::strtoull(digits.c_str(), nullptr, 10) == 0; };
  const std::string& subclient = given["-a"];
  if (zero(subclient.substr(0, subclient.find(':'))) || zero(subclient.substr(subclient.find(':') + 1)))
    return "job argument -a " + subclient + ": the cell and the subclient are ids from 1";
  if (zero(given["-j"])) return "job argument -j " + given["-j"] + ": a job id is a number from 1";
  const unsigned long long level = std::strtoull(given["-t"].c_str(), nullptr, 10);
  if (level != KZ_BKP_LEVEL_FULL && level != KZ_BKP_LEVEL_INCREMENTAL && level != KZ_BKP_LEVEL_DIFFERENTIAL)
    return "job argument -t " + given["-t"] +
           ": no backup level the library takes (1 full, 2 incremental, 4 differential)";
  if (given["-d"].empty()) return "job argument -d: no storage server named";
  return kNoJob;
}

}  // namespace blbjob
