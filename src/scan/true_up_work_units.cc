#include "scan/true_up_work_units.h"

CollectInfo::CollectInfo(const std::string& volume, const std::string& folder, int id, unsigned char* subNegBmp,
                         unsigned int subNegBmpSize, unsigned long long firstExtent)
    : m_sVolume(volume),
      m_sFolder(folder),
      m_sCollect(folder + "/CollectT_" + std::to_string(id) + ".kzf"),
      m_nId(id),
      m_pSubNegBmp(subNegBmp),
      m_nSubNegBmpSize(subNegBmpSize),
      m_nFirstExtent(firstExtent) {}
