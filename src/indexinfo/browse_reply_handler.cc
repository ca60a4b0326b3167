#include "indexinfo/browse_reply_handler.h"

#include <cerrno>
#include <cstring>
#include <optional>

#include "indexinfo/decoded_file_writer.h"
#include "platform/fs/fx_file.h"
#include "platform/log/ev_debug.h"

namespace {

using Response = databrowse::BrowseResponse;
using Item = databrowse::BrowseData;

constexpr int64_t kPartialStatus = 2;
constexpr int64_t kErrorStatus = 3;
constexpr int64_t kIndexMaintenanceError = 10;

// Where the index metadata record the item was uploaded with keeps the
// item's data text.
constexpr CNFieldId kMetaDataData = IdxMetadata::IdxMetaData::kData;
constexpr CNFieldId kDataText = IdxMetadata::IdxDataInfo::kData;

std::vector<CNMessageBase> ItemsOf(const CNMessageBase& response) {
  databrowse::BrowseResult result;
  if (!response.getObjectAccessor(Response::kResult.number, Response::kResult.tag, result)) return {};
  return result.getlistobject(result.kItems.number, result.kItems.tag);
}

bool IsFolder(const CNMessageBase& item) {
  databrowse::BrowseItemFlags flags;
  return item.getObjectAccessor(Item::kFlags.number, Item::kFlags.tag, flags) &&
         flags.getint64(flags.kFolder.number, flags.kFolder.tag) != 0;
}

// The data text the item was stored with; nothing when it carries none.
std::optional<std::string> DataTextOf(const CNMessageBase& item) {
  databrowse::BrowseDataResult data;
  IdxMetadata::IdxMetaData metaData;
  CNMessageBase record;
  if (!item.getObjectAccessor(Item::kData.number, Item::kData.tag, data) ||
      !data.getObjectAccessor(data.kIdxMetaData.number, data.kIdxMetaData.tag, metaData) ||
      !metaData.getObjectAccessor(kMetaDataData.number, kMetaDataData.tag, record) ||
      !record.isSet(kDataText.number, kDataText.tag))
    return std::nullopt;
  return record.getstring(kDataText.number, kDataText.tag);
}

}  // namespace

CBrowseReplyHandler::CBrowseReplyHandler(CIndexInfoPathPtr node) : m_bFileMode(false), m_pReceiver(std::move(node)) {}

CBrowseReplyHandler::CBrowseReplyHandler(const std::string& outputFile)
    : m_bFileMode(true), m_sOutputFile(outputFile) {}

CBrowseReplyHandler::~CBrowseReplyHandler() = default;

bool CBrowseReplyHandler::processResp(CNMessageBase* message) {
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 0, "browse response");
  if (message == nullptr || message->getTagID() != Response::kTagId) {
    log.Error(__FUNCTION__, "unexpected message type : %s",
              message == nullptr ? "(none)" : message->getTagName().c_str());
    return true;
  }
  if (IsRefused(*message)) {
    m_bRefused = true;
    DiscardOutput();
    return false;
  }
  if (EvDebug::IsLevelEnabled(6))
    log.DebugLvl(__FUNCTION__, 6, "queryId:%s\nXML[%s]",
                 message->getstring(Response::kQueryId.number, Response::kQueryId.tag).c_str(),
                 message->toString().c_str());
  if (!m_bFileMode && !m_pReceiver) {
    log.Error(__FUNCTION__, "getting path data while receiver path is not set");
    m_bRefused = true;
    return false;
  }
  for (const CNMessageBase& item : ItemsOf(*message)) TakeItem(item);
  return true;
}

bool CBrowseReplyHandler::IsRefused(const CNMessageBase& response) const {
  EvDebug log;
  const int64_t status = response.getint64(Response::kType.number, Response::kType.tag);
  if (status == kPartialStatus) {
    log.Error(__FUNCTION__, "Browse response message is partial");
    return true;
  }
  if (status != kErrorStatus) return false;
  const std::vector<CNMessageBase> errors = response.getlistobject(Response::kErrors.number, Response::kErrors.tag);
  using Error = databrowse::BrowseError;
  if (!errors.empty() && errors.front().getint64(Error::kCode.number, Error::kCode.tag) == kIndexMaintenanceError)
    log.Error(__FUNCTION__, "Index maintenance in progress");
  else
    log.Error(__FUNCTION__, "Index error while processing browse request");
  return true;
}

void CBrowseReplyHandler::TakeItem(const CNMessageBase& item) {
  const std::string name = item.getstring(Item::kName.number, Item::kName.tag);
  if (IsFolder(item)) {
    if (m_bFileMode) return;
    m_pReceiver->ReplaceChild(name);
    ++m_nItemCount;
  } else if (name == indexinfo::kKeyBagItem) {
    if (!m_bFileMode) LoadKeyBag(item);
  } else if (m_bFileMode) {
    WriteFileItem(item);
  } else {
    m_pReceiver->SetFile(name, std::string());
  }
}

void CBrowseReplyHandler::LoadKeyBag(const CNMessageBase& item) {
  EvDebug log;
  const std::string& node = m_pReceiver->GetName();
  std::optional<std::string> text = DataTextOf(item);
  if (!text) {
    log.DebugLvl(__FUNCTION__, 3, "no bag data for '%s'", node.c_str());
    return;
  }
  const size_t zero = text->find('\0');
  if (zero != std::string::npos) text->resize(zero);
  const CBagPtr& bag = m_pReceiver->GetBag();
  CQiError err = bag->LoadSerializedData(*text);
  if (err.IsError()) {
    log.Error(__FUNCTION__, "Failed load bag for '%s' with '%s'", node.c_str(), text->c_str());
    return;
  }
  ++m_nItemCount;
  if (!EvDebug::IsLevelEnabled(3)) return;
  log.DebugLvl(__FUNCTION__, 3, "got path data:");
  for (const std::string& key : bag->allKeys()) {
    std::string value;
    bag->Read(key, value);
    log.DebugLvl(__FUNCTION__, 3, " [%s] = [%s]", key.c_str(), value.c_str());
  }
}

void CBrowseReplyHandler::WriteFileItem(const CNMessageBase& item) {
  // Nothing of a reply that was partly refused is restored.
  if (m_bRefused) return;
  std::optional<std::string> text = DataTextOf(item);
  if (!text) return;
  // A failed item leaves no output: the one an earlier item wrote is not
  // the last item's content.
  if (indexinfo::WriteDecodedFile(*text, m_sOutputFile).IsError())
    DiscardOutput();
  else
    m_bOutputWritten = true;
}

void CBrowseReplyHandler::DiscardOutput() {
  if (!m_bOutputWritten) return;
  m_bOutputWritten = false;
  if (unlink_utf(m_sOutputFile.c_str()) != 0) {
    const std::string why = std::strerror(errno);
    EvDebug log;
    log.Error(__FUNCTION__, "failed to remove output file '%s':%s", m_sOutputFile.c_str(), why.c_str());
  }
}
