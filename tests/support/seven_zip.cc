#include "support/seven_zip.h"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include "platform/process/shell_quote.h"
#include "support/run_command.h"

namespace testing_support {

void WriteRawSevenZip(const std::string& path, const std::vector<ArchiveMember>& members) {
  archive* writer = archive_write_new();
  ASSERT_NE(writer, nullptr);
  ASSERT_EQ(archive_write_set_format_7zip(writer), ARCHIVE_OK);
  ASSERT_EQ(archive_write_open_filename(writer, path.c_str()), ARCHIVE_OK) << archive_error_string(writer);
  for (const ArchiveMember& member : members) {
    archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname(entry, member.name.c_str());
    archive_entry_set_perm(entry, 0644);
    if (!member.linkTarget.empty()) {
      archive_entry_set_filetype(entry, AE_IFLNK);
      archive_entry_set_symlink(entry, member.linkTarget.c_str());
    } else {
      archive_entry_set_filetype(entry, AE_IFREG);
      archive_entry_set_size(entry, static_cast<la_int64_t>(member.contents.size()));
    }
    EXPECT_EQ(archive_write_header(writer, entry), ARCHIVE_OK) << archive_error_string(writer);
    if (member.linkTarget.empty() && !member.contents.empty()) {
      EXPECT_EQ(archive_write_data(writer, member.contents.data(), member.contents.size()),
                static_cast<la_ssize_t>(member.contents.size()));
    }
    archive_entry_free(entry);
  }
  EXPECT_EQ(archive_write_close(writer), ARCHIVE_OK) << archive_error_string(writer);
  archive_write_free(writer);
}

int SevenZipAdd(const std::string& folder, const std::string& archive, const std::vector<std::string>& names) {
  std::string command = "cd " + platform::ShellQuote(folder) + " && 7z a -bd -y " + platform::ShellQuote(archive);
  for (const std::string& name : names) command += " " + platform::ShellQuote(name);
  return RunCommand(command + " >/dev/null");
}

}  // namespace testing_support
