#include "support/scoped_mount.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/process/kz_process.h"
#include "platform/process/shell_quote.h"
#include "support/temporary_folder.h"

namespace testing_support {

ScopedMount::ScopedMount(const std::string& source, const std::string& type, const std::string& options) {
  if (::geteuid() != 0) {
    skipReason_ = "mounting needs root";
    return;
  }
  path_ = MakeTemporaryFolder("blbmnt");
  if (path_.empty()) {
    skipReason_ = "no mount point";
    return;
  }
  const std::string command = "mount -t " + platform::ShellQuote(type) +
                              (options.empty() ? "" : " -o " + platform::ShellQuote(options)) + " " +
                              platform::ShellQuote(source) + " " + platform::ShellQuote(path_);
  std::string error;
  mounted_ = KzProcess::system(command, nullptr, &error, 60, false) == 0;
  if (!mounted_) {
    ADD_FAILURE() << command << ": " << error;
    skipReason_ = "cannot mount: " + error;
  }
}

ScopedMount::~ScopedMount() {
  std::string error;
  if (mounted_ && KzProcess::system("umount " + platform::ShellQuote(path_), nullptr, &error, 60, false) != 0)
    ADD_FAILURE() << "umount " << path_ << ": " << error;
  if (!path_.empty()) ::rmdir(path_.c_str());
}

}  // namespace testing_support
