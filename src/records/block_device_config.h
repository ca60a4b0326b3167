#pragma once
// The job's device-configuration files: "BlockDeviceConfig.kzf" (the main
// file) and, beside it, "BlockDeviceConfigExt.kzf" (the extension file, the
// records of devices that lie under another backed-up device).
//
// Each file is a header line naming the fields, a metadata marker line and one
// BackupDeviceInfo line per device. Files opened for appending get the header
// and marker again, so readers skip every empty line and every line that
// begins with '#'. The files are written in place; Close flushes and syncs
// them and reports a write that failed late.
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

  // Opens the file for writing (appending or truncated) and writes the header
  // and the marker of the given metadata flag.
  CQiError InitWrite(const std::string& path, bool metadataEnabled, bool append);
  // Opens the file for reading and takes the metadata flag from its first marker.
  CQiError InitRead(const std::string& path);
  bool IsMetaDataCollectionEnabled() const { return m_bMetadataEnabled; }
  CQiError ReadMetaDataCollectionOption();
  // The next record; at the end of the file the record is the default one
  // (not valid), and once the stream is at its end the record is left as is.
  CQiError ReadNextBackupDevice(BackupDeviceInfo& device) { return ReadMainRecord(device, nullptr); }
  CQiError WriteNextBackupDevice(const BackupDeviceInfo& device);
  // Flushes and syncs what was written; fails when any of it did not reach
  // the file.
  CQiError Close();

 protected:
  // The header line (with its line end) and the marker line of a flag.
  static std::string HeaderLines(bool metadataEnabled);
  // Resets the record, then parses into it the next line that is not empty
  // and not a comment (a trailing "\r" and then a trailing "\t" removed);
  // false, the record left the default, at end of input.
  static bool ReadRecord(std::fstream& stream, BackupDeviceInfo& device);
  // ReadNextBackupDevice; lineRead tells a parsed line from the file's end.
  CQiError ReadMainRecord(BackupDeviceInfo& device, bool* lineRead);
  // Flushes, syncs (when writing) and closes a stream; what failed, if anything.
  static CQiError FinishWriting(std::fstream& stream, const std::string& path, bool writing);

  std::fstream m_oFile;
  std::string m_sFilePath;
  bool m_bMetadataEnabled = false;
  bool m_bWriting = false;
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

  // The next supported record: the main file's records first (records of
  // unsupported devices are passed over), then the extension file's. A main
  // line that does not parse gives a record that is not valid, which ends
  // the reading.
  CQiError ReadNextBackupConfig(BackupDeviceInfo& device);
  CQiError WriteNextBackupConfig(const BackupDeviceInfo& device);

  // Appends every remaining extension record whose volume is the given
  // record's device. Reads the extension file to its end.
  CQiError LookUpUnderlyingBackupDevInfo(BackupDeviceInfo& device, std::vector<BackupDeviceInfo>& found);

  CQiError Close();

 private:
  std::fstream m_oExtFile;
  std::string m_sExtFilePath;
  bool m_bExtWriting = false;
};
