// Verbs of the services that move files between machines: proxies, archive
// files, transfers to other hosts, host names.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/harness/services_harness.h"
#include "platform/services/host_name.h"
#include "verb.h"

namespace blbsim {
namespace {

int Proxy(const Args& args) {
  if (args.size() < 3 || args.size() > 4 || !NumbersFrom(args, 0, 3)) return UsageError("proxy");
  const bool useSource = args.size() == 4 && Number(args[3]) != 0;
  if (!SetProxy(Number(args[0]), Number(args[1]), Number(args[2]), useSource)) {
    std::fprintf(stderr, "blbsim: no subclient %s/%s\n", args[0].c_str(), args[1].c_str());
    return 1;
  }
  return 0;
}

int Afile(const Args& args) {
  if (args.size() == 1 && args[0] == "list") {
    for (const platform::ArchiveFileRecord& afile : ArchiveFiles())
      std::printf("afile=%llu job=%llu app=%llu cell=%llu type=%d cycle=%llu created=%llu host=%s\n",
                  static_cast<unsigned long long>(afile.archFileId), static_cast<unsigned long long>(afile.jobId),
                  static_cast<unsigned long long>(afile.appId), static_cast<unsigned long long>(afile.cellId),
                  afile.archFileType, static_cast<unsigned long long>(afile.cycleNumber),
                  static_cast<unsigned long long>(afile.createTime), afile.storageHostName.c_str());
    return 0;
  }
  if (args.size() == 1 && args[0] == "requests") {
    for (const platform::ArchiveRequestRecord& request : ArchiveRequests())
      std::printf("job=%llu second=%llu cell=%llu snapjob=%llu\n", static_cast<unsigned long long>(request.jobId),
                  static_cast<unsigned long long>(request.appOrClientId),
                  static_cast<unsigned long long>(request.cellId), static_cast<unsigned long long>(request.snapJobId));
    return 0;
  }
  int type = 0;
  if (args.size() < 6 || args.size() > 9 || args[0] != "add" || !NumbersFrom(args, 1, 4) || !ReadInt(args[5], type) ||
      !NumbersFrom(args, 6, 7))
    return UsageError("afile");
  const unsigned long long cycle = args.size() > 6 ? Number(args[6]) : 0;
  const unsigned long long created =
      args.size() > 7 ? Number(args[7]) : static_cast<unsigned long long>(std::time(nullptr));
  const platform::StateDbResult added =
      AddArchiveFile(Number(args[1]), Number(args[2]), Number(args[3]), Number(args[4]), type, cycle, created,
                     args.size() > 8 ? args[8] : std::string());
  return added ? 0 : 1;
}

int ShowTransfers(const Args& args) {
  if (!args.empty()) return UsageError("transfers");
  for (const platform::TransferRecord& transfer : Transfers())
    std::printf("%s:%s <- %s (%lld bytes)\n", transfer.host.c_str(), transfer.destination.c_str(),
                transfer.source.c_str(), transfer.bytes);
  return 0;
}

int HostName(const Args& args) {
  if ((args.size() >= 3 && args.size() <= 5) && args[0] == "mangle") {
    int port = 0;
    int flags = 0;
    if ((args.size() > 3 && !ReadInt(args[3], port)) || (args.size() > 4 && !ReadInt(args[4], flags)))
      return UsageError("hostname");
    std::printf("%s\n", platform::MangleHostName(args[1], args[2], port, flags).c_str());
    return 0;
  }
  if (args.size() == 2 && args[0] == "demangle") {
    std::string client, host;
    int port = 0, flags = 0;
    if (DemangleHostName(args[1], client, host, port, flags) != 0) {
      std::fprintf(stderr, "blbsim: malformed host name '%s'\n", args[1].c_str());
      return 1;
    }
    std::printf("client=%s host=%s port=%d flags=%d folder=%s\n", client.c_str(), host.c_str(), port, flags,
                HostFolder(host).c_str());
    return 0;
  }
  return UsageError("hostname");
}

const VerbRegistration kServiceVerbs({
    {"proxy", "CELL APP PROXYCLIENT [USESOURCE]", "set a subclient's proxy client (0: none)", Proxy},
    {"afile", "add ID JOB APP CELL TYPE [CYCLE [CTIME [HOST]]] | list | requests",
     "archive files of jobs; requests: the snapshot-job listings asked for", Afile},
    {"transfers", "", "list the files copied to other hosts", ShowTransfers},
    {"hostname", "mangle CLIENT HOST [PORT [FLAGS]] | demangle NAME", "mangled network host names", HostName},
});

}  // namespace
}  // namespace blbsim
