#include <gtest/gtest.h>

#include "com/bstr.h"
#include "com/guid.h"

namespace kv::com {
namespace {

TEST(Guid, ParsesAndPrintsInRegistryForm) {
  struct Case {
    const char* in;
    bool ok;
    const char* out;
  } cases[] = {
      {"{16393D13-016A-11D3-B907-00805F712C95}", true, "{16393D13-016A-11D3-B907-00805F712C95}"},
      {"16393d13-016a-11d3-b907-00805f712c95", true, "{16393D13-016A-11D3-B907-00805F712C95}"},
      {"{16393D13-016A-11D3-B907-00805F712C95", false, ""},
      {"16393D13-016A-11D3-B907-00805F712C9G", false, ""},
      {"16393D13016A-11D3-B907-00805F712C95-", false, ""},
      {"Kelvarin.CalcCommands", false, ""},
  };
  for (const auto& c : cases) {
    GUID g;
    EXPECT_EQ(GUID::Parse(c.in, &g), c.ok) << c.in;
    if (c.ok) {
      EXPECT_EQ(g.ToString(), c.out);
    }
  }
  GUID a = GUID::FromString("F4B466E7-0001-11D4-828F-00C04F12B1D3");
  EXPECT_EQ(a.data1, 0xF4B466E7u);
  EXPECT_EQ(a.data4[7], 0xD3);
  EXPECT_NE(GuidHash{}(a), GuidHash{}(GUID{}));
}

TEST(Bstr, NullDiffersFromEmpty) {
  Bstr null;
  Bstr empty(u"");
  EXPECT_TRUE(null.IsNull());
  EXPECT_FALSE(empty.IsNull());
  EXPECT_FALSE(null == empty);
  EXPECT_EQ(null.Length(), 0u);
  EXPECT_EQ(null.ToUtf8(), "");
  Bstr s = Bstr::FromUtf8("Grüße");
  EXPECT_EQ(s.Length(), 5u);
  EXPECT_EQ(s.ByteLength(), 10u);
  EXPECT_EQ(s.ToUtf8(), "Grüße");
}

}  // namespace
}  // namespace kv::com
