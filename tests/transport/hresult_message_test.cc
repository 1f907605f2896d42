// The text after the hex value of an HRESULT error: clients show it to people, so a status
// without a name must not come out with a wrong one.
#include <gtest/gtest.h>

#include "com/hresult_names.h"

namespace kv::com {
namespace {

TEST(HResultDescription, NamesKnownStatusesAndNothingElse) {
  struct Case {
    HRESULT hr;
    const char* want;
  } cases[] = {
      {CO_E_CLASSSTRING, "CO_E_CLASSSTRING: invalid class string"},
      {E_ACCESSDENIED, "E_ACCESSDENIED: access denied"},  // also a wrapped Win32 5: the name wins
      {HResultFromWin32(2), "ERROR_FILE_NOT_FOUND: file not found"},
      {HResultFromWin32(32), "HRESULT_FROM_WIN32(32)"},
      {static_cast<HRESULT>(0x80071234u), "HRESULT_FROM_WIN32(4660)"},
      {static_cast<HRESULT>(0x80041234u), ""},
      {S_OK, ""},
      {S_FALSE, ""},
      {static_cast<HRESULT>(0x00070002u), ""},  // a success code in the Win32 facility is no failure
  };
  for (const Case& c : cases) EXPECT_EQ(DescribeHResult(c.hr), c.want) << std::hex << c.hr;
}

}  // namespace
}  // namespace kv::com
