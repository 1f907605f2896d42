#include "platform/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace kv::platform {
namespace {

TEST(AppendUtf8, EncodesEachLengthAndReplacesWhatIsNoCharacter) {
  struct Case {
    char32_t cp;
    std::string want;
  } cases[] = {
      {0x00, std::string(1, '\0')},
      {0x7F, "\x7F"},
      {0x80, "\xC2\x80"},
      {0x7FF, "\xDF\xBF"},
      {0x800, "\xE0\xA0\x80"},
      {0xD7FF, "\xED\x9F\xBF"},
      {0xE000, "\xEE\x80\x80"},
      {0xFFFF, "\xEF\xBF\xBF"},
      {0x10000, "\xF0\x90\x80\x80"},
      {0x10FFFF, "\xF4\x8F\xBF\xBF"},
      // Surrogates and values past the last plane have no UTF-8 form.
      {0xD800, "\xEF\xBF\xBD"},
      {0xDFFF, "\xEF\xBF\xBD"},
      {0x110000, "\xEF\xBF\xBD"},
      {0xFFFFFFFF, "\xEF\xBF\xBD"},
  };
  for (const auto& c : cases) {
    std::string out = "x";
    AppendUtf8(&out, c.cp);
    EXPECT_EQ(out, "x" + c.want) << std::hex << static_cast<uint32_t>(c.cp);
  }
}

TEST(Utf16, RoundTripsAndReplacesMalformedInput) {
  const char* texts[] = {"", "Flow1", "Area3\\Flow1", "Grüße 温度", "\xF0\x9F\x94\xA5 fire"};
  for (const char* t : texts) EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(t)), t);
  EXPECT_EQ(Utf8ToUtf16("\xF0\x9F\x94\xA5").size(), 2u);  // surrogate pair
  EXPECT_EQ(Utf8ToUtf16("a\xFF" "b"), u"a\uFFFDb");
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");  // overlong
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // an encoded surrogate
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
  EXPECT_EQ(Utf16ToUtf8(u"\xDC00\xD800"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // a pair in the wrong order
  EXPECT_EQ(Utf16ToUtf8(u"a\xD834"), "a\xEF\xBF\xBD");                  // a high half at the end
}

}  // namespace
}  // namespace kv::platform
