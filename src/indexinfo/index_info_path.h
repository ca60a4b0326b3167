#pragma once
// CIndexInfoPath: one node of an index-info tree, the small tree of key paths
// that is uploaded into the backup index as the items of one view and
// browsed back from it. A node has its own name (one path element, empty for
// the root), a bag of keys, the files attached to it and its child nodes;
// files and children are kept in byte-wise name order, the order every walk
// over them takes.
//
// A key path names a node below a root, its elements separated by one
// delimiter character; a leading delimiter is optional. Resolving a path
// creates every node it names that is missing, so it never fails and every
// query leaves the nodes it named in the tree.
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/bag/bag.h"
#include "platform/error/qi_error.h"

class CIndexInfoPath;
using CIndexInfoPathPtr = std::shared_ptr<CIndexInfoPath>;

class CIndexInfoPath {
 public:
  // Base name of an attached file to its local path; a tree browsed back
  // from the index knows the names only and keeps empty paths.
  using FileMap = std::map<std::string, std::string>;
  using ChildMap = std::map<std::string, CIndexInfoPathPtr>;

  // Not loaded, with an empty bag.
  explicit CIndexInfoPath(const std::string& name = std::string());
  CIndexInfoPath(const CIndexInfoPath&) = delete;
  CIndexInfoPath& operator=(const CIndexInfoPath&) = delete;

  const std::string& GetName() const { return m_sName; }
  // Whether the node's content has been browsed from the index; a node
  // once loaded is never browsed again.
  bool IsLoaded() const { return m_bLoaded; }
  void SetLoaded(bool loaded) { m_bLoaded = loaded; }
  const CBagPtr& GetBag() const { return m_pBag; }
  const FileMap& GetFileMap() const { return m_mapFiles; }
  const ChildMap& GetChildren() const { return m_mapChildren; }

  // Each clears the list, then fills it in name order.
  void GetKeys(std::list<std::string>& keys) const;
  void GetFiles(std::list<std::string>& files) const;
  void GetSubPaths(std::list<std::string>& subPaths) const;

  // The child of that name, made unloaded when missing; `created` tells
  // which.
  CIndexInfoPathPtr GetOrAddChild(const std::string& name, bool* created = nullptr);
  // A new unloaded child in place of any child of that name, so that what
  // the old one held is browsed again.
  CIndexInfoPathPtr ReplaceChild(const std::string& name);
  // Enters a file by name; an entry of the same name is replaced.
  void SetFile(const std::string& name, const std::string& localPath);
  // Attaches a local file under its base name: 1168 "file '%s' not found"
  // when it does not exist, the split's failure when the path has no
  // folder part. A second file of the same base name replaces the first.
  CQiError AttachLocalFile(const std::string& localPath);

 private:
  bool m_bLoaded = false;
  std::string m_sName;
  CBagPtr m_pBag;
  FileMap m_mapFiles;
  ChildMap m_mapChildren;
};

namespace indexinfo {

// The item that carries a node's key bag, as uploads name it and browses
// look for it.
constexpr char kKeyBagItem[] = ".self";

// The elements of a key path: split at every delimiter, an empty first
// element (a path that begins with the delimiter) dropped, other empty
// elements kept. An empty path has none.
std::vector<std::string> SplitKeyPath(const std::string& path, char delimiter);

// The node the key path names below the root (the root itself for a path
// without elements), creating the missing ones; never null for a root.
CIndexInfoPathPtr ResolveKeyPath(const CIndexInfoPathPtr& root, const std::string& path, char delimiter);

// "<parent><delimiter><name>": an item path below another, as uploads and
// browses build them.
std::string JoinItemPath(const std::string& parent, char delimiter, const std::string& name);

}  // namespace indexinfo
