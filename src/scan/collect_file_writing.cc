// Writing a scan's collect files and "SrcSnapFile.kzf".
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>

#include "devconfig/kz_device_config_handler.h"
#include "platform/fs/fx_file.h"
#include "platform/log/ev_debug.h"
#include "scan/checked_file_writer.h"
#include "scan/collect_file_manager.h"
#include "scan/collect_line_writer.h"
#include "tracking/bitmap_words.h"

namespace {

using scan::CheckedFileWriter;
using scan::CollectLineWriter;
using Bitmaps = TrueUpVolInfo::VolumeBitmaps;

// Every volume failed: the agent tells this case by its code, whatever
// failed each volume.
constexpr int kErrnoEveryVolumeFailed = 2;

// The code a failure was made with, to fail again with it under another message.
int CodeOf(const CQiError& error) {
  return static_cast<int>(FXErrorUtil::GetCode(error));
}

CQiError NoName(const FXCodeLocation& location, unsigned long long extent) {
  return FXErrorUtil::ErrorErrNo(location, -1, "Extent[%lu] decimal to base32 conversion failed",
                                 static_cast<unsigned long>(extent));
}

// A collect file counts only once it is whole on disk, since the backup
// reads it after the scan's process is gone. The file that a split replaces
// with its pieces is closed unsynced and synced later if it stays.
CQiError CloseCollectFile(CheckedFileWriter& file, bool sync = true) {
  CQiError err = file.Close(sync);
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to write collect file %s.", file.Path().c_str());
  return err;
}

CQiError SyncCollectFile(const std::string& path) {
  auto_handle file;
  CQiError err = FXFile::KZCreateFile(path.c_str(), fxfile::kGenericRead, fxfile::kShareRead, nullptr,
                                      fxfile::kOpenExisting, fxfile::kAttributeNormal, file);
  if (!err.IsError()) err = FXFile::KZFlushFile(file.get());
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to write collect file %s.", path.c_str());
  return err;
}

// The "\n" bytes of a text, eight at a time: each word leaves 1 in the bytes
// that held one, summed byte-wise and added up before a byte could overflow.
uint64_t CountNewlines(const char* text, size_t size) {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
  constexpr size_t kWordsPerSum = 255;
  uint64_t count = 0;
  size_t offset = 0;
  while (offset + 8 <= size) {
    uint64_t sums = 0;
    for (size_t words = 0; words < kWordsPerSum && offset + 8 <= size; ++words, offset += 8) {
      uint64_t word;
      std::memcpy(&word, text + offset, sizeof word);
      const uint64_t x = word ^ (kOnes * '\n');  // a zero byte where a "\n" was
      // The high bit of each zero byte, exactly (no borrow across bytes).
      sums += (~(((x & kLow7) + kLow7) | x | kLow7)) >> 7;
    }
    count += (sums * kOnes) >> 56;
  }
  for (; offset < size; ++offset) count += text[offset] == '\n';
  return count;
}

// Reads a collect file's lines for the split, one large read at a time.
class LineSource {
 public:
  explicit LineSource(const std::string& path) : m_sPath(path), m_pBuffer(new char[kBufferBytes]) {}

  CQiError Open() {
    CQiError err = FXFile::KZCreateFile(m_sPath.c_str(), fxfile::kGenericRead, fxfile::kShareRead, nullptr,
                                        fxfile::kOpenExisting, fxfile::kAttributeNormal, m_oFile);
    if (err.IsError()) return err.Push(FXCODELOC);
    return err;
  }

  // Copies up to `lines` lines to out (fewer at the end of the input); a last
  // line without its "\n" gets one.
  CQiError CopyLines(unsigned long lines, CheckedFileWriter& out) {
    while (lines > 0) {
      if (m_nPos == m_nLength) {
        CQiError err = Fill();
        if (err.IsError()) return err;
        if (m_nLength == 0) break;
      }
      const char* start = m_pBuffer.get() + m_nPos;
      const char* end = m_pBuffer.get() + m_nLength;
      // Whole reads go over as they are; only the read where a piece ends is
      // looked through line by line.
      const char* at = end;
      const uint64_t inRead = CountNewlines(start, m_nLength - m_nPos);
      if (inRead < lines) {
        lines -= static_cast<unsigned long>(inRead);
      } else {
        at = start;
        for (; lines > 0; --lines)
          at = static_cast<const char*>(std::memchr(at, '\n', static_cast<size_t>(end - at))) + 1;
      }
      const size_t taken = static_cast<size_t>(at - start);
      m_bMidLine = at[-1] != '\n';
      m_nPos += taken;
      if (!out.Append(start, taken)) return CQiError();  // out's Close tells why
    }
    if (lines > 0 && m_bMidLine) {
      out.Append("\n", 1);
      m_bMidLine = false;
    }
    return CQiError();
  }

 private:
  static constexpr size_t kBufferBytes = CheckedFileWriter::kBufferBytes;

  CQiError Fill() {
    uint64_t read = 0;
    CQiError err = FXFile::KZReadFile(m_oFile.get(), m_pBuffer.get(), kBufferBytes, read);
    m_nPos = 0;
    m_nLength = err.IsError() ? 0 : static_cast<size_t>(read);
    if (err.IsError()) return err.Push(FXCODELOC, "Failed to read collect file %s", m_sPath.c_str());
    return err;
  }

  std::string m_sPath;
  auto_handle m_oFile;
  std::unique_ptr<char[]> m_pBuffer;
  size_t m_nPos = 0;
  size_t m_nLength = 0;
  bool m_bMidLine = false;
};

}  // namespace

std::string CollectFileManager::NextCollectName(int& id) {
  id = m_nNextCollectId++;
  return m_sCollectPrefix + std::to_string(id) + ".kzf";
}

CQiError CollectFileManager::GenerateCollectFilesForPaths(std::list<ScanObjects_t>& scanObjects, int nStreams,
                                                          bool allowMultipleReaders, int starvationFactor,
                                                          unsigned int& totalExtents) {
  EvDebug log;
  const std::string& directory = m_oJobInfo.GetJobResultsDir();
  m_sCollectPrefix = directory + "/" + (m_oJobInfo.GetBackupLevel() == 1 ? kFullCollectPrefix : kIncrCollectPrefix);
  const std::string srcSnapPath = directory + "/" + kSrcSnapFile;
  // An earlier run's lists name collect files this run writes again, maybe
  // with another volume's lines.
  CQiError err = RemoveCollectLists();
  if (err.IsError()) return err.Push(FXCODELOC);
  scan::ReplacingFileWriter srcSnap(srcSnapPath);
  err = srcSnap.Open();
  if (err.IsError())
    return FXErrorUtil::ErrorErrNo(FXCODELOC, CodeOf(err), "Failed to open file [%s] to write, error=%s",
                                   srcSnapPath.c_str(), err.AsString().c_str());

  totalExtents = 0;
  size_t failed = 0;
  std::string firstFailed;  // the first volume that failed, and why: the scan's cause when all did
  CQiError firstFailure;
  CQiError markFailure;  // a volume left out whose changes would be lost
  for (const ScanObjects_t& scan : scanObjects) {
    unsigned int count = 0;
    err = GenerateSingleCollectFileForVolume(scan, nStreams, allowMultipleReaders, starvationFactor, count);
    if (err.IsError()) {
      log.Error(__FUNCTION__, "Failed to generate collect file for volume [%s] : %s. Moving on to the next one.",
                scan.sVolume.c_str(), err.AsString().c_str());
      m_vFailedVolumes.push_back(scan.sVolume);
      ++failed;
      if (!firstFailure.IsError()) {
        firstFailed = scan.sVolume;
        firstFailure = err;
      }
      CQiError marked = MarkForFullBackup(scan.sVolume);
      if (marked.IsError() && !markFailure.IsError()) markFailure = marked.Push(FXCODELOC);
      continue;
    }
    srcSnap.Append("|" + scan.sVolume + "|" + scan.sSnapDevice + "|\n");
    totalExtents += count;
  }
  err = SyncCumulativeFolder();
  if (err.IsError()) return err.Push(FXCODELOC);
  // The message quotes the first volume's failure, so that its cause (a
  // full disk) is still told beside the code.
  if (failed == scanObjects.size()) {
    if (!firstFailure.IsError())
      return FXErrorUtil::ErrorErrNo(FXCODELOC, kErrnoEveryVolumeFailed,
                                     "Collect file generation failed for all volumes");
    return FXErrorUtil::ErrorErrNo(FXCODELOC, kErrnoEveryVolumeFailed,
                                   "Collect file generation failed for all volumes, the first [%s] with error=[%s]",
                                   firstFailed.c_str(), firstFailure.AsString().c_str());
  }
  if (markFailure.IsError()) return markFailure;
  err = srcSnap.Commit();
  if (err.IsError())
    return FXErrorUtil::ErrorErrNo(FXCODELOC, CodeOf(err), "Failed to write to [%s], error=%s", srcSnapPath.c_str(),
                                   err.AsString().c_str());
  err = WriteCollectFilesToDisk();
  if (err.IsError()) return err.Push(FXCODELOC);
  RecordWholeListings();
  return err;
}

CQiError CollectFileManager::GenerateSingleCollectFileForVolume(const ScanObjects_t& scan, int nStreams,
                                                                bool allowMultipleReaders, int starvationFactor,
                                                                unsigned int& count) {
  EvDebug log;
  int id = 0;
  const std::string name = NextCollectName(id);
  BackupDeviceInfo device;
  CQiError err = LookUpDevice(scan.sVolume, device);
  if (err.IsError()) return err.Push(FXCODELOC);
  log.DebugLvl(__FUNCTION__, 1, "Generating CollectFile[%s] for volume=[%s]", name.c_str(), scan.sVolume.c_str());
  unsigned long written = 0;
  err = GenerateSingleCollectFile(scan, name, VolumeBitmap(scan.sVolume, Bitmaps::kChange), device.GetBitMapSize(),
                                  written, static_cast<int>(device.GetExtentSize()));
  if (err.IsError()) return err.Push(FXCODELOC);

  // Several readers may share a volume: its extents go to streams x
  // starvation factor files, the factor lowered until each file gets at
  // least one extent. A product of 0 or less leaves one file.
  unsigned long perFile = written;
  long long files = allowMultipleReaders ? 0 : 1;
  long long factorUsed = starvationFactor;
  if (allowMultipleReaders && written > 0) {
    perFile = 0;
    if (nStreams > 0 && starvationFactor > 0) {
      factorUsed = std::max(1LL, std::min<long long>(starvationFactor, static_cast<long long>(written / nStreams)));
      files = std::min<long long>(static_cast<long long>(nStreams) * factorUsed, INT_MAX - 1);
      perFile = written / static_cast<unsigned long>(files);
    }
  }
  log.DebugLvl(__FUNCTION__, 1, "TotalExtentsWritten=[%lu]", written);
  count = static_cast<unsigned int>(written);

  if (perFile == 0 || nStreams < 2 || !allowMultipleReaders || files < 2) {
    err = SyncCollectFile(name);
    if (err.IsError()) return err.Push(FXCODELOC);
    m_mCollectMap[scan.sVolume] = std::vector<CollectList>(1, CollectList(name, id, eCollectNotHandedOut));
    return CQiError();
  }
  log.DebugLvl(__FUNCTION__, 1,
               " nNumCollectFiles=[%d], AllowMultipleReaders=[%s], Original StarvationFactor=[%d], "
               "StarvationFactorUsed=[%d], ExtentPerFile=[%d]",
               static_cast<int>(files), "yes", starvationFactor, static_cast<int>(factorUsed),
               static_cast<int>(perFile));
  err = SplitCollectFile(scan, name, static_cast<int>(files), written);
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

CQiError CollectFileManager::GenerateSingleCollectFile(const ScanObjects_t& scan, const std::string& name,
                                                       const unsigned char* bitmap, unsigned long bitmapSize,
                                                       unsigned long& count, int extentSize) {
  EvDebug log;
  if (bitmap == nullptr) {
    log.Error(__FUNCTION__, "Invalid Arguement : NULL bitmap sent.");
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Invalid Argument : NULL bitmap sent.");
  }
  // The bitmap handed in is the volume's own change bitmap, which the
  // data-only mask changes where it lies.
  unsigned char* change = const_cast<unsigned char*>(bitmap);
  CQiError err = HandleDataOnlyBitMap(scan, change, bitmapSize, extentSize);
  if (err.IsError()) {
    log.Error(__FUNCTION__, "Failed handling Data Only Blocks for SourceVolume=[%s], error[%s]", scan.sVolume.c_str(),
              err.AsString().c_str());
    return err.Push(FXCODELOC);
  }
  BackupDeviceInfo device;
  err = LookUpDevice(scan.sVolume, device);
  if (err.IsError()) return err.Push(FXCODELOC);
  // Bits past the volume's last extent name nothing that can be read: they
  // are set when a full bitmap is not masked by the data-only one.
  uint64_t limit = static_cast<uint64_t>(bitmapSize) * 8;
  if (device.IsValid() && device.GetTotalExtents() < limit) limit = device.GetTotalExtents();

  count = 0;
  CheckedFileWriter file(name);
  err = file.Open();
  if (err.IsError()) return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Failed to open collect file %s.", name.c_str());
  CollectLineWriter lines(file, scan.sVolume);
  const bool logLines = EvDebug::IsLevelEnabled(5);
  const char* const function = __FUNCTION__;
  bool noName = false;
  unsigned long long failedExtent = 0;
  bitmap_words::ForEachSetBitBelow(change, limit, [&](uint64_t extent) {
    const CollectLineWriter::Result result = lines.Write(extent);
    if (result != CollectLineWriter::kWritten) {
      noName = result == CollectLineWriter::kNoName;
      failedExtent = extent;
      return false;
    }
    if (logLines)
      log.DebugLvl(function, 5, "Extent[%lu] is changed. Writing [%s] to CollectFile=[%s]",
                   static_cast<unsigned long>(extent), lines.LastLine().c_str(), name.c_str());
    ++count;
    return true;
  });
  if (noName) return NoName(FXCODELOC, failedExtent);
  err = CloseCollectFile(file, false);
  if (err.IsError()) return err.Push(FXCODELOC);

  err = GenerateCumulativeBitmap(VolumeBitmap(scan.sVolume, Bitmaps::kDataOnly), bitmapSize, scan.sVolume,
                                 device.GetSourceDeviceName(), device.GetFSType());
  if (err.IsError())
    return err.Push(FXCODELOC, "Failed to generate cummilative bmp file, SourceVolume=%s", scan.sVolume.c_str());
  return err;
}

CQiError CollectFileManager::GenerateSingleCollectFile(const ScanObjects_t& scan, const std::string& name,
                                                       unsigned long long n, unsigned long& count) {
  EvDebug log;
  count = 0;
  CheckedFileWriter file(name);
  CQiError err = file.Open();
  if (err.IsError()) return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Failed to open collect file %s.", name.c_str());
  CollectLineWriter lines(file, scan.sVolume);
  const bool logLines = EvDebug::IsLevelEnabled(4);
  for (unsigned long long extent = 0; extent < n; ++extent) {
    const CollectLineWriter::Result result = lines.Write(extent);
    if (result == CollectLineWriter::kNoName) return NoName(FXCODELOC, extent);
    if (result == CollectLineWriter::kWriteFailed) break;
    if (logLines) log.DebugLvl(__FUNCTION__, 4, "Writing collect entry %s.", lines.LastLine().c_str());
    ++count;
  }
  err = CloseCollectFile(file);
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

CQiError CollectFileManager::GenerateDefaultCollectFile(const ScanObjects_t& scan, const std::string& name) {
  CheckedFileWriter file(name);
  CQiError err = file.Open();
  if (err.IsError())
    return FXErrorUtil::ErrorErrNo(FXCODELOC, CodeOf(err), "Failed to open collect file %s", name.c_str());
  CollectLineWriter lines(file, scan.sVolume);
  if (lines.Write(0) == CollectLineWriter::kNoName)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Extent[0] decimal to base32 conversion failed");
  err = CloseCollectFile(file);
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

CQiError CollectFileManager::SplitCollectFile(const ScanObjects_t& scan, const std::string& name, int nFiles,
                                              unsigned long total) {
  EvDebug log;
  nFiles = std::max(1, std::min(nFiles, INT_MAX - 1));
  const unsigned long perFile = total / static_cast<unsigned long>(nFiles);
  if (perFile > 0 && total > static_cast<unsigned long>(nFiles) * perFile) ++nFiles;

  // The whole file moves aside and is read back piece by piece; a failure
  // leaves it there, with the pieces written so far.
  const std::string whole = name + "_temp";
  LineSource source(whole);
  CQiError err;
  if (rename_utf(name.c_str(), whole.c_str()) != 0)
    err = FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to rename %s", name.c_str());
  else
    err = source.Open();
  if (err.IsError())
    return FXErrorUtil::ErrorErrNo(FXCODELOC, CodeOf(err), "Failed to open collect file '%s' for reading",
                                   whole.c_str());
  log.DebugLvl(__FUNCTION__, 2, "ulExtentsWritten : %lu, extentsperfile : %lu, nNumCollectFiles : %d.", total, perFile,
               nFiles);

  std::vector<CollectList> pieces;
  std::string current = name;
  for (int i = 1; i <= nFiles; ++i) {
    CheckedFileWriter piece(current);
    err = piece.Open();
    if (err.IsError())
      return FXErrorUtil::ErrorErrNo(FXCODELOC, CodeOf(err), "Failed to open collect file '%s; for writing",
                                     current.c_str());
    if (i > 1) log.DebugLvl(__FUNCTION__, 3, "Generating collect file <%s>", current.c_str());
    const unsigned long lines = i < nFiles ? perFile : total - static_cast<unsigned long>(nFiles - 1) * perFile;
    err = source.CopyLines(lines, piece);
    if (err.IsError()) return err.Push(FXCODELOC);
    err = CloseCollectFile(piece);
    if (err.IsError()) return err.Push(FXCODELOC);
    pieces.push_back(CollectList(current, m_nNextCollectId - 1, eCollectNotHandedOut));
    if (i < nFiles) {
      int id = 0;
      current = NextCollectName(id);
    }
  }
  m_mCollectMap[scan.sVolume] = pieces;
  if (unlink_utf(whole.c_str()) != 0)
    log.Error(__FUNCTION__, "Failed to remove [%s], error=%s", whole.c_str(), std::strerror(errno));
  return CQiError();
}
