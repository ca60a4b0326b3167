#include "indexinfo/index_info_path.h"

#include "platform/text/fx_string.h"

CIndexInfoPath::CIndexInfoPath(const std::string& name) : m_sName(name), m_pBag(std::make_shared<CBag>()) {}

void CIndexInfoPath::GetKeys(std::list<std::string>& keys) const {
  keys = m_pBag->allKeys();
}

void CIndexInfoPath::GetFiles(std::list<std::string>& files) const {
  files.clear();
  for (const auto& file : m_mapFiles) files.push_back(file.first);
}

void CIndexInfoPath::GetSubPaths(std::list<std::string>& subPaths) const {
  subPaths.clear();
  for (const auto& child : m_mapChildren) subPaths.push_back(child.first);
}

CIndexInfoPathPtr CIndexInfoPath::GetOrAddChild(const std::string& name, bool* created) {
  CIndexInfoPathPtr& child = m_mapChildren[name];
  if (created != nullptr) *created = !child;
  if (!child) child = std::make_shared<CIndexInfoPath>(name);
  return child;
}

CIndexInfoPathPtr CIndexInfoPath::ReplaceChild(const std::string& name) {
  CIndexInfoPathPtr child = std::make_shared<CIndexInfoPath>(name);
  m_mapChildren[name] = child;
  return child;
}

void CIndexInfoPath::SetFile(const std::string& name, const std::string& localPath) {
  m_mapFiles[name] = localPath;
}

CQiError CIndexInfoPath::AttachLocalFile(const std::string& localPath) {
  if (!FXPath::DoesPathExist(localPath))
    return FXErrorUtil::ErrorWin32(FXCODELOC, 1168, "file '%s' not found", localPath.c_str());
  FXString parent, name;
  CQiError err = FXPath::SplitParentPath(localPath, parent, name);
  if (err.IsError()) return err.Push(FXCODELOC);
  SetFile(name, localPath);
  return CQiError();
}

namespace indexinfo {

std::vector<std::string> SplitKeyPath(const std::string& path, char delimiter) {
  std::vector<std::string> elements;
  size_t start = 0;
  for (;;) {
    const size_t end = path.find(delimiter, start);
    elements.push_back(path.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  if (elements.front().empty()) elements.erase(elements.begin());
  return elements;
}

CIndexInfoPathPtr ResolveKeyPath(const CIndexInfoPathPtr& root, const std::string& path, char delimiter) {
  CIndexInfoPathPtr node = root;
  for (const std::string& element : SplitKeyPath(path, delimiter)) node = node->GetOrAddChild(element);
  return node;
}

std::string JoinItemPath(const std::string& parent, char delimiter, const std::string& name) {
  std::string path;
  path.reserve(parent.size() + 1 + name.size());
  path.append(parent).append(1, delimiter).append(name);
  return path;
}

}  // namespace indexinfo
