// Core verbs: state directory, registry, configuration, faults, events.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <optional>

#include "platform/harness/seed.h"
#include "platform/harness/sim_harness.h"
#include "platform/settings/settings.h"
#include "platform/sim/fault_names.h"
#include "platform/sim/fs_util.h"
#include "verb.h"

namespace blbsim {
namespace {

// Reads the numbers of the arguments into the fields, in order; false at the
// first that is not a whole unsigned number.
bool ReadIds(const Args& args, size_t first, std::initializer_list<uint64_t*> fields) {
  size_t i = first;
  for (uint64_t* field : fields) {
    if (i >= args.size()) break;
    unsigned long long value = 0;
    if (!ReadNumber(args[i++], ULLONG_MAX, value)) return false;
    *field = value;
  }
  return true;
}

int Init(const Args& args) {
  const bool reset = !args.empty() && args[0] == "--reset";
  const size_t rest = args.size() - (reset ? 1 : 0);
  if (rest > 1) return UsageError("init");
  if (rest == 1) platform::Settings::SetStateDir(args.back().c_str());
  if (!(reset ? ResetStateDir() : InitStateDir())) {
    std::fprintf(stderr, "blbsim: cannot initialise %s\n", platform::Settings::StateDir().c_str());
    return 1;
  }
  std::printf("%s\n", platform::Settings::StateDir().c_str());
  return 0;
}

int Reg(const Args& args) {
  if (args.size() == 3 && args[0] == "get") {
    std::string value;
    if (!GetRegistryValue(args[1], args[2], value)) return 1;
    std::printf("%s\n", value.c_str());
    return 0;
  }
  if (args.size() == 4 && args[0] == "set") return SetRegistryValue(args[1], args[2], args[3]) ? 0 : 1;
  if (args.size() == 3 && args[0] == "unset") return RemoveRegistryValue(args[1], args[2]) ? 0 : 1;
  return UsageError("reg");
}

int Client(const Args& args) {
  if (args.size() < 4 || args.size() > 5) return UsageError("client");
  platform::ClientRecord client;
  if (!ReadIds(args, 0, {&client.id})) return UsageError("client");
  client.name = args[1];
  client.hostName = args[2];
  client.jobResultsDir = args[3];
  if (args.size() == 5) client.installDir = args[4];
  // Replacing a client keeps its flags (set with clientflags).
  // A client that cannot be read throws: never replaced with its flags lost.
  if (std::optional<platform::ClientRecord> known = FindClient(client.id)) {
    client.active = known->active;
    client.isVirtual = known->isVirtual;
  }
  return AddClient(client) ? 0 : 1;
}

int Subclient(const Args& args) {
  if (args.size() < 3 || args.size() > 6) return UsageError("subclient");
  platform::SubclientRecord subclient;
  uint64_t useSource = 0;
  if (!ReadIds(args, 0,
               {&subclient.cellId, &subclient.appId, &subclient.clientId, &subclient.proxyClientId, &useSource,
                &subclient.blockLevelFlags}))
    return UsageError("subclient");
  subclient.useSource = useSource != 0;
  return AddSubclient(subclient) ? 0 : 1;
}

// A mistyped name would inject nothing and quietly test the success path.
bool KnownCall(const std::string& call) {
  if (platform::IsFailableCall(call)) return true;
  std::string nearest;
  for (const std::string& name : platform::NearestFailableCalls(call)) nearest += (nearest.empty() ? "" : ", ") + name;
  std::fprintf(stderr, "blbsim: no failable call is named '%s'; nearest: %s (all: blbsim fault list)\n", call.c_str(),
               nearest.c_str());
  return false;
}

int Fault(const Args& args) {
  if (args.size() >= 3 && args.size() <= 5 && args[0] == "set") {
    int code = 0;
    int count = -1;
    std::optional<platform::FaultMode> mode = platform::FaultMode::kError;
    if (args.size() > 3) mode = platform::ParseFaultMode(args[3]);
    if (!ReadInt(args[2], code) || !mode || (args.size() > 4 && (!ReadInt(args[4], count) || count < -1)))
      return UsageError("fault");
    if (!KnownCall(args[1])) return 2;
    SetFault(args[1], code, *mode, count);
    return 0;
  }
  if (args.size() == 2 && args[0] == "clear") {
    ClearFault(args[1]);
    return 0;
  }
  if (args.size() == 1 && args[0] == "clear-all") {
    ClearFaults();
    return 0;
  }
  if (args.size() == 1 && args[0] == "list") {
    for (const std::string& name : platform::FailableCalls()) std::printf("%s\n", name.c_str());
    return 0;
  }
  if (args.size() == 1 && args[0] == "show") {
    for (const platform::Fault& fault : Faults())
      std::printf("%s %d %s %lld\n", fault.call.c_str(), fault.code, platform::FaultModeName(fault.mode),
                  fault.remaining);
    return 0;
  }
  return UsageError("fault");
}

int Seed(const Args& args) {
  if (args.size() != 1) return UsageError("seed");
  std::string text;
  if (!platform::ReadWholeFile(args[0], text)) {
    std::fprintf(stderr, "blbsim: cannot read %s\n", args[0].c_str());
    return 1;
  }
  std::string message;
  switch (SeedDocument(text, message)) {
    case SeedResult::kSeeded:
      return 0;
    case SeedResult::kRefused:
      std::fprintf(stderr, "blbsim: %s refused, nothing written: %s\n", args[0].c_str(), message.c_str());
      return 2;
    case SeedResult::kFailed:
      break;
  }
  std::fprintf(stderr, "blbsim: %s\n", message.c_str());
  return 1;
}

int Dump(const Args& args) {
  std::string document;
  if (args.size() != 1 || !DumpService(args[0], document)) {
    std::string services;
    for (const std::string& name : SeedServices()) services += " " + name;
    std::fprintf(stderr, "usage: blbsim dump SERVICE (services:%s)\n", services.c_str());
    return 2;
  }
  std::fputs(document.c_str(), stdout);
  return 0;
}

int ShowEvents(const Args& args) {
  if (!args.empty()) return UsageError("events");
  for (const platform::RaisedEvent& event : Events()) {
    std::printf("0x%08X job=%lld", static_cast<unsigned>(event.eventId), event.jobId);
    for (const std::string& argument : event.arguments) std::printf(" [%s]", argument.c_str());
    std::printf("\n");
  }
  return 0;
}

const VerbRegistration kCoreVerbs({
    {"init", "[--reset] [DIR]", "lay out a state directory (default BLB_STATE_DIR); --reset starts over", Init},
    {"reg", "get|set|unset SECTION KEY [VALUE]", "read or change a registry value", Reg},
    {"client", "ID NAME HOST JOBRESULTSDIR [INSTALLDIR]", "add or replace a client", Client},
    {"subclient", "CELL APP CLIENT [PROXY [USESOURCE [FLAGS]]]", "add or replace a subclient", Subclient},
    {"fault", "set CALL CODE [error|throw|delay [COUNT]] | clear CALL | clear-all | list | show",
     "injected failures (delay: CODE milliseconds, then the call runs); list: every failable call, show: the faults "
     "set",
     Fault},
    {"seed", "FILE", "apply a JSON document, one section per service (all or nothing)", Seed},
    {"dump", "SERVICE", "print a service's rows as a seed document", Dump},
    {"events", "", "list the raised agent events", ShowEvents},
});

}  // namespace
}  // namespace blbsim
