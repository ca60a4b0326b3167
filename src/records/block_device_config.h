#pragma once
// The job's device-configuration files: "BlockDeviceConfig.kzf" (the main
// file) and, beside it, "BlockDeviceConfigExt.kzf" (the extension file, the
// records of devices that lie under another backed-up device).
//
// Each file is a header line naming the fields, a metadata marker line and one
// BackupDeviceInfo line per device. Files opened for appending get the header
// and marker again, so readers skip every empty line and every line that
// begins with '#'.
//
// Later jobs trust what these files say about each device's geometry, so a
// crash must never leave one cut short: a file is written under a temporary
// name of its own (an append first copies the existing content there) and
// Close renames it over the file once it is complete and synced. Until then,
// and whenever a write failed, the file keeps its previous content.
//
// Close (or the destructor) replaces the file; a write opened again by
// InitWrite or InitRead before it was closed is given up, so the file is
// never replaced by one holding fewer records than were written to it.
//
// Writing: InitWrite, Write...(record)*, Close. Reading: InitRead, then
// Read...(fresh record) until the record is not IsValid, then Close.
#include <fstream>
#include <string>
#include <vector>

#include "platform/error/qi_error.h"
#include "records/backup_device_info.h"

class BlockDeviceConfigReaderWriter {
 public:
  static constexpr const char* kMainFileName = "BlockDeviceConfig.kzf";
  static constexpr const char* kMetadataEnabled = "#METADATA_ENABLED#";
  static constexpr const char* kMetadataNotEnabled = "#METADATA_NOT_ENABLED#";

  BlockDeviceConfigReaderWriter() = default;
  virtual ~BlockDeviceConfigReaderWriter();
  BlockDeviceConfigReaderWriter(const BlockDeviceConfigReaderWriter&) = delete;
  BlockDeviceConfigReaderWriter& operator=(const BlockDeviceConfigReaderWriter&) = delete;

  // Starts the file's new content (the existing records first when
  // appending) with the header and the marker of the given metadata flag.
  // A path that names something other than a regular file is refused (22).
  CQiError InitWrite(const std::string& path, bool metadataEnabled, bool append);
  // Opens the file for reading and takes the metadata flag from its first marker.
  CQiError InitRead(const std::string& path);
  bool IsMetaDataCollectionEnabled() const { return m_bMetadataEnabled; }
  CQiError ReadMetaDataCollectionOption();
  // The next record; at the end of the file the record is the default one
  // (not valid), and once the stream is at its end the record is left as is.
  // A read that fails before the end is an error (its errno, else EIO), not
  // a shorter file.
  CQiError ReadNextBackupDevice(BackupDeviceInfo& device) { return ReadMainRecord(device, nullptr, nullptr); }
  // A record whose texts hold '|', a carriage return or a line feed is
  // refused (22, the field named) and nothing is written for it.
  CQiError WriteNextBackupDevice(const BackupDeviceInfo& device);
  // Completes a write: the new content replaces the file. Fails, leaving the
  // previous file, when any of it did not reach the disk.
  CQiError Close();
  // Gives up a write: its temporary goes and the file keeps its content.
  void Discard();

 protected:
  // Closes a stream and removes its temporary, if it was writing.
  static void DiscardWriting(std::fstream& stream, std::string& temporary);
  // The header line (with its line end) and the marker line of a flag.
  static std::string HeaderLines(bool metadataEnabled);
  // Resets the record, then parses into it the next line that is not empty
  // and not a comment (a trailing "\r" and then a trailing "\t" removed),
  // which goes to `line` when given. 0, with lineRead false and the record
  // the default at the end of input; the errno of a read that failed.
  static int ReadRecord(std::fstream& stream, BackupDeviceInfo& device, bool& lineRead, std::string* line);
  // ReadNextBackupDevice; lineRead tells a parsed line from the file's end.
  CQiError ReadMainRecord(BackupDeviceInfo& device, bool* lineRead, std::string* line);
  // Opens a temporary of the path's own for the new content (with the
  // existing content first when appending); 0 or an errno.
  static int StartWriting(std::fstream& stream, const std::string& path, bool append, std::string& temporary);
  // Closes a stream; when it was writing, the temporary replaces the path if
  // all of it was written, else it is removed. What failed, if anything.
  static CQiError FinishWriting(std::fstream& stream, const std::string& path, std::string& temporary);
  // 22 naming the field when the record's line would not read back as it.
  static CQiError CheckLine(const FXCodeLocation& location, const BackupDeviceInfo& device, const std::string& path);

  std::fstream m_oFile;
  std::string m_sFilePath;
  std::string m_sTemporaryPath;  // set while writing
  bool m_bMetadataEnabled = false;
};

class BlockDeviceConfigReaderWriter_UNIX : public BlockDeviceConfigReaderWriter {
 public:
  static constexpr const char* kExtFileName = "BlockDeviceConfigExt.kzf";

  BlockDeviceConfigReaderWriter_UNIX() = default;
  ~BlockDeviceConfigReaderWriter_UNIX() override;

  // The extension file's path: the 21 characters after the main path's last
  // '/' (the length of "BlockDeviceConfig.kzf") replaced by the extension
  // file's name. False when the path has no '/'.
  static bool ExtensionPath(const std::string& mainPath, std::string& extPath);

  CQiError InitWrite(const std::string& path, bool metadataEnabled, bool append);
  // A missing extension file is no error: it then reads as empty.
  CQiError InitRead(const std::string& path);

  CQiError ReadNextExtBackupDevice(BackupDeviceInfo& device);
  CQiError WriteNextExtBackupDevice(const BackupDeviceInfo& device);

  // The next supported record: the main file's records first, then the
  // extension file's. Main-file lines that do not give a valid, supported
  // record (an unsupported device, unusable geometry, a line that does not
  // parse) are logged and passed over.
  CQiError ReadNextBackupConfig(BackupDeviceInfo& device);
  CQiError WriteNextBackupConfig(const BackupDeviceInfo& device);

  // Appends every remaining extension record whose volume is the given
  // record's device. Reads the extension file to its end.
  CQiError LookUpUnderlyingBackupDevInfo(BackupDeviceInfo& device, std::vector<BackupDeviceInfo>& found);

  CQiError Close();
  void Discard();

 private:
  std::fstream m_oExtFile;
  std::string m_sExtFilePath;
  std::string m_sExtTemporaryPath;  // set while writing
};
