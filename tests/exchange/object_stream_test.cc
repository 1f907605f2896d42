// The object-string layout: what the writer produces byte for byte, and a reader that accepts
// only well-formed values but any byte length.
#include "com/object_stream.h"

#include <gtest/gtest.h>

namespace kv::com {
namespace {

constexpr CLSID kClass = MakeGuid("3C8B53F0-E39D-11D2-B903-00805F712C95");

TEST(ObjectStream, WritesVartypeClassAndDataInStreamOrder) {
  const std::string bytes = WriteObjectStream(&kClass, u"<a/>");
  const std::string expected = std::string("\x09\x00", 2) +                    // VT_DISPATCH
                               std::string("\xF0\x53\x8B\x3C\x9D\xE3\xD2\x11", 8) +  // Data1..Data3 LE
                               std::string("\xB9\x03\x00\x80\x5F\x71\x2C\x95", 8) +  // Data4
                               std::string("<\0a\0/\0>\0", 8);
  EXPECT_EQ(bytes, expected);
  EXPECT_EQ(WriteObjectStream(nullptr, u"ignored"), std::string("\x09\x00", 2));
}

TEST(ObjectStream, ReadsBackWhatWasWrittenDespiteTrailingBytesAndOddLengths) {
  const std::string written = WriteObjectStream(&kClass, u"<Calculation>\u00e9</Calculation>");
  const std::string variants[] = {
      written,
      written + std::string("\0\0\xAB\xCD\xEF", 5),  // unused block space after a zero unit, odd length
      written + "\x01",                             // one stray byte: half a unit is no data
  };
  for (const std::string& bytes : variants) {
    ObjectStreamContent c;
    ASSERT_EQ(ReadObjectStream(bytes, &c), S_OK);
    EXPECT_EQ(c.vt, VT_DISPATCH);
    EXPECT_TRUE(c.hasClass);
    EXPECT_EQ(c.clsid, kClass);
    EXPECT_EQ(c.objectData, u"<Calculation>\u00e9</Calculation>");
  }
}

TEST(ObjectStream, ReaderCases) {
  struct Case {
    const char* what;
    std::string bytes;
    HRESULT hr;
    VARTYPE vt;
    bool hasClass;
  } cases[] = {
      {"empty", "", E_FAIL, VT_EMPTY, false},
      {"one byte", "\x09", E_FAIL, VT_EMPTY, false},
      {"VARTYPE only: no stream persistence", std::string("\x09\x00", 2), S_OK, VT_DISPATCH, false},
      {"class cut short", std::string("\x0D\x00\x01\x02\x03", 5), E_FAIL, VT_UNKNOWN, false},
      {"CLSID_NULL: null object", std::string("\x09\x00", 2) + std::string(16, '\0'), S_OK, VT_DISPATCH, false},
      {"VT_I4", std::string("\x03\x00\x2A\x00\x00\x00", 6), S_OK, VT_I4, false},
      {"VT_I4 cut short", std::string("\x03\x00\x2A", 3), E_FAIL, VT_I4, false},
      {"VT_EMPTY", std::string("\x00\x00", 2), S_OK, VT_EMPTY, false},
      {"VT_BSTR", std::string("\x08\x00\x04\x00\x00\x00x\0\0\0", 10), S_OK, VT_BSTR, false},
      {"VT_BSTR longer than the string", std::string("\x08\x00\xFF\xFF\xFF\xFFx", 7), E_FAIL, VT_BSTR, false},
      {"an array", std::string("\x0C\x20", 2), DISP_E_BADVARTYPE, 0x200C, false},
  };
  for (const Case& c : cases) {
    ObjectStreamContent out;
    EXPECT_EQ(ReadObjectStream(c.bytes, &out), c.hr) << c.what;
    if (c.hr == S_OK || c.hr == DISP_E_BADVARTYPE) {
      EXPECT_EQ(out.vt, c.vt) << c.what;
      EXPECT_EQ(out.hasClass, c.hasClass) << c.what;
    }
  }
}

TEST(ObjectStream, BstrBytesPackTwoPerUnitLowByteFirst) {
  EXPECT_EQ(BytesOfBstr(Bstr(u"\u0201")), std::string("\x01\x02", 2));
  EXPECT_EQ(BstrOfBytes(std::string("\x01\x02\x03", 3)), Bstr(u"\u0201\u0003"));  // odd: padded
  const std::string any("\x00\xFF\x10\xD8\x7F", 5);
  EXPECT_EQ(BytesOfBstr(BstrOfBytes(any)), any + std::string(1, '\0'));
}

}  // namespace
}  // namespace kv::com
