#pragma once
// CBrowseReplyHandler: receives the reply messages of one browse of the
// index-info view, one at a time, and turns the items of the browsed key
// path back into what the upload held. In tree mode it fills one node: its
// sub-paths (a folder item replaces any child of its name with an unloaded
// node, to be browsed on its next query), its file names and its key bag.
// In file mode it writes the decoded content of the reply's file item into
// an output file; each file item replaces the output, so the last one wins.
//
// A partial, failed or maintenance reply is refused (false) and changes
// nothing; the handler remembers it for the browse. File mode also knows
// whether the browse restored one whole file: the output is present only
// when it holds the whole content of the last file item, and a refused
// message removes what this browse wrote, since the reply it belongs to is
// incomplete.
#include <cstdint>
#include <string>

#include "indexinfo/index_info_path.h"
#include "platform/indexing/idx_browse_client.h"

class CBrowseReplyHandler : public IdxBrowseClientResp {
 public:
  // Tree mode: fills the node.
  explicit CBrowseReplyHandler(CIndexInfoPathPtr node);
  // File mode: writes into the output file.
  explicit CBrowseReplyHandler(const std::string& outputFile);
  ~CBrowseReplyHandler() override;
  CBrowseReplyHandler(const CBrowseReplyHandler&) = delete;
  CBrowseReplyHandler& operator=(const CBrowseReplyHandler&) = delete;

  // False for a refused reply and, in tree mode, when there is no node to
  // fill; true otherwise, also for a message that is no browse response.
  bool processResp(CNMessageBase* message) override;

  // Sub-paths made plus key bags loaded.
  uint32_t GetProcessedItemsCount() const { return m_nItemCount; }
  // Whether a message was answered false: what the browse gave is then
  // incomplete, and a node it filled is still to be browsed.
  bool HasRefusedReply() const { return m_bRefused; }
  // File mode: whether the output file now holds one whole restored file.
  bool HasRestoredFile() const { return m_bOutputWritten; }

 private:
  // Whether the response's status refuses it; logs why.
  bool IsRefused(const CNMessageBase& response) const;
  void TakeItem(const CNMessageBase& item);
  void LoadKeyBag(const CNMessageBase& item);
  void WriteFileItem(const CNMessageBase& item);
  // Removes the output this browse wrote.
  void DiscardOutput();

  uint32_t m_nItemCount = 0;
  bool m_bFileMode;
  std::string m_sOutputFile;
  CIndexInfoPathPtr m_pReceiver;
  bool m_bOutputWritten = false;
  bool m_bRefused = false;
};
