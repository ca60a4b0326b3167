// Verbs of what the content list reads: clients' flags, application types,
// and the logs of the application-list queries, the Oracle content requests
// and the volume-manager queries. Backup sets, instances, subclients with
// their contents, Oracle data files and pool maps are seeded with `blbsim seed`.
#include <climits>
#include <cstdio>

#include "platform/harness/application_harness.h"
#include "verb.h"

namespace blbsim {
namespace {

int ClientFlags(const Args& args) {
  unsigned long long id = 0;
  if (args.size() < 2 || args.size() > 3 || !ReadNumber(args[0], ULLONG_MAX, id) ||
      (args[1] != "active" && args[1] != "inactive") ||
      (args.size() == 3 && args[2] != "virtual" && args[2] != "physical"))
    return UsageError("clientflags");
  if (!SetClientFlags(id, args[1] == "active", args.size() == 3 && args[2] == "virtual")) {
    std::fprintf(stderr, "blbsim: no client %s\n", args[0].c_str());
    return 1;
  }
  return 0;
}

int AppTypes(const Args& args) {
  unsigned long long client = 0;
  if (args.empty() || !ReadNumber(args[0], ULLONG_MAX, client)) return UsageError("apptypes");
  if (args.size() == 1) {
    for (const platform::ApplicationTypeRecord& type : ApplicationTypes(client))
      std::printf("%llu %s\n", static_cast<unsigned long long>(type.type), type.name.c_str());
    return 0;
  }
  std::vector<platform::ApplicationTypeRecord> types;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string::size_type colon = args[i].find(':');
    unsigned long long type = 0;
    if (!ReadNumber(args[i].substr(0, colon), ULLONG_MAX, type)) return UsageError("apptypes");
    types.push_back({type, colon == std::string::npos ? std::string() : args[i].substr(colon + 1)});
  }
  return SetApplicationTypes(client, types) ? 0 : 1;
}

int Apps(const Args& args) {
  if (args.size() != 1 || args[0] != "calls") return UsageError("apps");
  for (const platform::ApplicationListCall& call : ApplicationListCalls())
    std::printf("%s client=%llu type=%llu\n", call.call.c_str(), static_cast<unsigned long long>(call.clientId),
                static_cast<unsigned long long>(call.appType));
  return 0;
}

int Oracle(const Args& args) {
  if (args.size() != 1 || args[0] != "requests") return UsageError("oracle");
  for (const platform::OracleContentRequest& request : OracleRequests())
    std::printf("type=%u instance=%lld app=%lld kind=%lld\n", request.appType,
                static_cast<long long>(request.instanceId), static_cast<long long>(request.appId),
                static_cast<long long>(request.kind));
  return 0;
}

int Lvm(const Args& args) {
  if (args.size() != 2 || args[0] != "queries") return UsageError("lvm");
  std::printf("%llu\n", static_cast<unsigned long long>(VolumeManagerQueries(args[1])));
  return 0;
}

const VerbRegistration kApplicationVerbs({
    {"clientflags", "ID active|inactive [virtual|physical]", "whether a client runs here; a cluster's virtual client",
     ClientFlags},
    {"apptypes", "CLIENT [TYPE[:NAME]...]", "a client's application types, in order (replaced; alone: listed)",
     AppTypes},
    {"apps", "calls", "the application-list queries made (call, client, type)", Apps},
    {"oracle", "requests", "the Oracle database-content requests made", Oracle},
    {"lvm", "queries DEVICE", "how often the volume manager was asked for a device", Lvm},
});

}  // namespace
}  // namespace blbsim
