#include "platform/registry_text.h"

#include <gtest/gtest.h>

#include <string>

namespace kv::platform {
namespace {

// Text read from "\x" escapes and from hex(1) UTF-16 data comes out as well-formed UTF-8.
TEST(RegistryText, SurrogatesInEscapesAndWideText) {
  struct Case {
    const char* what;
    std::string line;
    std::string want;
  } cases[] = {
      {"a pair of escapes is one character", R"("v"="\xd834\xdd1e")", "\xF0\x9D\x84\x9E"},
      {"a lone high half", R"("v"="a\xd834b")", "a\xEF\xBF\xBD" "b"},
      {"a lone low half", R"("v"="\xdd1e")", "\xEF\xBF\xBD"},
      {"halves in the wrong order", R"("v"="\xdd1e\xd834")", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"wide text with a pair", "\"v\"=hex(1):34,d8,1e,dd,00,00", "\xF0\x9D\x84\x9E"},
      {"wide text ending in a lone half", "\"v\"=hex(1):41,00,00,d8", "A\xEF\xBF\xBD"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RegHiveData hive;
    RegParseError err;
    ASSERT_TRUE(ParseRegistryText("WINE REGISTRY Version 2\n[K]\n" + c.line + "\n", &hive, &err)) << err.reason;
    const RegKeyData* key = hive.Find("K");
    ASSERT_NE(key, nullptr);
    const RegValue* v = key->FindValue("v");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->text, c.want);
  }
}

}  // namespace
}  // namespace kv::platform
