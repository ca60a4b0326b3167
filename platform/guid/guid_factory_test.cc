#include "platform/guid/guid_factory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

TEST(GuidFactory, KeysAreStableFileNameSafeAndDistinct) {
  const std::string a = CGuidFactory::get_guid_nosalt("/data");
  EXPECT_EQ(a, CGuidFactory::get_guid_nosalt("/data"));
  EXPECT_NE(a, CGuidFactory::get_guid_nosalt("/data2"));
  ASSERT_EQ(a.size(), 36u);
  EXPECT_EQ(a.find_first_not_of("0123456789ABCDEF-"), std::string::npos);

  const std::string o = GetObjectGuid("/data", 0, '/');
  EXPECT_EQ(o, GetObjectGuid("/data", 0, '/'));
  EXPECT_EQ(o, GetObjectGuid("/data//", 0, '/'));
  EXPECT_NE(o, GetObjectGuid("/KzFakeStringForVolumeRootBlockLevel", 0, '/'));
  ASSERT_EQ(o.size(), 32u);
  EXPECT_EQ(o.find_first_not_of("0123456789abcdef"), std::string::npos);
  // The two derivations never agree, even ignoring form.
  std::string plain = a;
  plain.erase(std::remove(plain.begin(), plain.end(), '-'), plain.end());
  for (char& c : plain) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_NE(plain, o);
}
