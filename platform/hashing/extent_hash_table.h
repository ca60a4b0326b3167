#pragma once
// Extent hash tables: the extent-hashing library's files of ExtentHashItem
// lines, kept in increasing extent order by their writers.
//
// CExtentHashTable_File opens its file by the stream open mode it is given:
// std::ios_base::in (8) alone reads; a mode with app appends; any other mode
// with out writes the file anew (created, or truncated). Entries go through a
// buffer, so a table of millions of extents is not written line by line; a
// write failure is reported by the call that meets it, at the latest by Flush
// or Close, which a writer calls last to know its table is whole. Reading
// stops with an invalid item at the end of the file; a line that is not an
// entry (a torn last line included) fails the read with 774.
//
// Faults (checked per call, with no look at the state while none is set):
// "CExtentHashTable_File::Initialize", "CExtentHashTable_File::AddExtentEntry",
// "CExtentHashTable_File::GetNextExtentEntry".
#include <ios>
#include <string>

#include "platform/error/qi_error.h"
#include "platform/hashing/extent_hash_item.h"
#include "platform/memory/auto_handle.h"

class IExtentHashTable {
 public:
  virtual ~IExtentHashTable() = default;
  virtual CQiError Initialize(std::ios_base::openmode mode) = 0;
  // Appends the item's line; an invalid item is refused (22).
  virtual CQiError AddExtentEntry(ExtentHashItem& item) = 0;
  // The next entry, or an invalid item at the end of the table.
  virtual CQiError GetNextExtentEntry(ExtentHashItem& item) = 0;
  // Writes out what is buffered.
  virtual CQiError Flush() = 0;
  // Flush, then close the file; a closed table can be initialised again.
  virtual CQiError Close() = 0;
};

class CExtentHashTable_File : public IExtentHashTable {
 public:
  explicit CExtentHashTable_File(const std::string& path);
  // Closes the file; a failure met here can no longer be reported, so
  // writers call Close themselves.
  ~CExtentHashTable_File() override;
  CExtentHashTable_File(const CExtentHashTable_File&) = delete;
  CExtentHashTable_File& operator=(const CExtentHashTable_File&) = delete;

  CQiError Initialize(std::ios_base::openmode mode) override;
  CQiError AddExtentEntry(ExtentHashItem& item) override;
  CQiError GetNextExtentEntry(ExtentHashItem& item) override;
  CQiError Flush() override;
  CQiError Close() override;

  const std::string& GetPath() const { return m_sPath; }

 private:
  enum class Mode { kClosed, kRead, kWrite };

  // Refills the read buffer; false at the end of the file.
  CQiError Fill(bool& more);

  std::string m_sPath;
  auto_handle m_oFile;
  Mode m_eMode = Mode::kClosed;
  std::string m_sBuffer;  // pending writes, or read bytes not yet parsed
  size_t m_nReadPos = 0;
  // The first write failure, reported by every later write call until Close.
  CQiError m_oWriteError;
};
