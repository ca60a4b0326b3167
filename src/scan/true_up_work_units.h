#pragma once
// The true-up's two kinds of work unit. CollectInfo: one piece of a
// volume's negate bitmap for a reader thread to read, hash and record in its
// collect file. IdxVolInfo: one volume whose extent hashes the index thread
// fetches from the backup index.
#include <string>

class CollectInfo {
 public:
  CollectInfo() = default;
  // The collect file is "<folder>/CollectT_<id>.kzf".
  CollectInfo(const std::string& volume, const std::string& folder, int id, unsigned char* subNegBmp,
              unsigned int subNegBmpSize, unsigned long long firstExtent);

  const std::string& GetVolume() const { return m_sVolume; }
  const std::string& GetFolder() const { return m_sFolder; }
  const std::string& GetCollect() const { return m_sCollect; }
  int GetId() const { return m_nId; }
  // Not owned: copies share the piece, whose owner keeps it until the
  // readers are done.
  unsigned char* GetSubNegBmp() const { return m_pSubNegBmp; }
  unsigned int GetSubNegBmpSize() const { return m_nSubNegBmpSize; }
  unsigned long long GetSubNegStartExt() const { return m_nFirstExtent; }

 private:
  std::string m_sVolume;
  std::string m_sFolder;
  std::string m_sCollect;
  int m_nId = -1;
  unsigned char* m_pSubNegBmp = nullptr;
  unsigned int m_nSubNegBmpSize = 0;
  unsigned long long m_nFirstExtent = 0;
};

class IdxVolInfo {
 public:
  IdxVolInfo() = default;
  IdxVolInfo(const std::string& volume, const std::string& volTrueUpFolder)
      : m_sVolume(volume), m_sVolTrueUpFolder(volTrueUpFolder) {}

  const std::string& GetVolume() const { return m_sVolume; }
  const std::string& GetVolTrueUpFolder() const { return m_sVolTrueUpFolder; }

 private:
  std::string m_sVolume;
  std::string m_sVolTrueUpFolder;
};
