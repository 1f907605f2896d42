// The one name rule, per kind of name. Which command answers which code is tested with the
// commands (lifecycle_test.cc); here, what each kind accepts.
#include "store/store_names.h"

#include <gtest/gtest.h>

#include <string>

namespace kv::store {
namespace {

TEST(NameRule, WhatEachKindAccepts) {
  struct Case {
    std::string name;
    bool calculation, library, folder, application;
  } cases[] = {
      {"Flow1", true, true, true, true},
      {"Température-Δ_2", true, true, true, true},  // letters of any script
      {"日本", true, true, true, true},
      {"a.b", true, true, false, true},               // a folder with a dot would list as a file
      {"Area3\\Flow1", true, false, false, false},
      {"Area3\\Flow.1", true, false, false, false},
      {"Edit", true, true, false, true},              // the store's directories, only as folders
      {"Edit\\Flow1", false, false, false, false},
      {"recycle\\Flow1", false, false, false, false},
      {std::string(kMaxNameBytes, 'x'), true, true, true, true},
      {std::string(kMaxNameBytes + 1, 'x'), false, false, false, false},
      {std::string(kMaxNameBytes / 2, 'x') + "\\" + std::string(kMaxNameBytes / 2, 'y'), false, false, false, false},
      {"", false, false, false, false},
      {".", false, false, false, false},
      {"a..b", false, false, false, false},
      {"a/b", false, false, false, false},
      {"\\Flow1", false, false, false, false},
      {"a b", false, false, false, false},
      {"a\xC2\xA0" "b", false, false, false, false},      // no-break space
      {"a\xE3\x80\x80" "b", false, false, false, false},  // ideographic space
      {std::string("a\0b", 3), false, false, false, false},
      {"a\x1F", false, false, false, false},
      {"a\x7F", false, false, false, false},
      {"a\xC2\x9B", false, false, false, false},          // C1 CSI
      {"\xE2\x80\xAEgpj.exe", false, false, false, false},  // right-to-left override
      {"a\xE2\x81\xA6" "b", false, false, false, false},  // left-to-right isolate
      {"\xEF\xBB\xBF" "Flow1", false, false, false, false},  // byte-order mark
      {"a\xE2\x80\x8D" "b", false, false, false, false},  // zero-width joiner
      {"a\xC2\xAD" "b", false, false, false, false},      // soft hyphen
      {"a\xF3\xA0\x80\x81", false, false, false, false},  // language tag
      {"a\xFF", false, false, false, false},              // not UTF-8
      {"a\xC0\xAF", false, false, false, false},          // overlong "/"
      {"a\xED\xA0\x80", false, false, false, false},      // a surrogate
      {"a\xE2\x82", false, false, false, false},          // cut short
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(IsValidName(c.name, NameKind::Calculation), c.calculation);
    EXPECT_EQ(IsValidName(c.name, NameKind::Library), c.library);
    EXPECT_EQ(IsValidName(c.name, NameKind::Folder), c.folder);
    EXPECT_EQ(IsValidName(c.name, NameKind::Application), c.application);
  }
}

}  // namespace
}  // namespace kv::store
