// The edit owner string: its date text, its parse, and the commands that read it.
#include "store/edit_owner.h"
#include "store/store_objects.h"

#include <clocale>

#include "store/lifecycle_fixture.h"
#include "store/store_commands.h"

namespace kv::testing {
namespace {

TEST(EditOwnerText, DateUsesEnglishNamesAndPadding) {
  struct Case {
    platform::SystemTime t;
    const char* text;
  } cases[] = {
      {{2016, 3, 5, 4, 10, 15, 0, 0}, "Friday, March 04, 2016 10:15:00"},
      {{2025, 12, 3, 10, 0, 0, 0, 0}, "Wednesday, December 10, 2025 00:00:00"},
      {{1999, 1, 0, 31, 23, 59, 59, 0}, "Sunday, January 31, 1999 23:59:59"},
      {{2024, 9, 6, 7, 7, 5, 9, 0}, "Saturday, September 07, 2024 07:05:09"},
  };
  // The process locale must not matter (a locale that is not installed leaves "C" in force).
  const char* previous = std::setlocale(LC_ALL, nullptr);
  const std::string saved = previous ? previous : "C";
  std::setlocale(LC_ALL, "de_DE.UTF-8");
  for (const auto& c : cases) EXPECT_EQ(store::FormatOwnerDate(c.t), c.text);
  std::setlocale(LC_ALL, saved.c_str());
}

TEST(EditOwnerText, ParseLeavesEmptyFieldsUntouched) {
  struct Case {
    const char* owner;
    const char *node, *editor, *date;  // outputs start as "n0", "e0", "d0"
  } cases[] = {
      {"(HOST7)(editor1)(Friday, March 04, 2016 10:15:00)", "HOST7", "editor1", "Friday, March 04, 2016 10:15:00"},
      {"", "n0", "e0", "d0"},
      {"()()()", "n0", "e0", "d0"},
      {"(HOST7)()(date)", "HOST7", "e0", "date"},
      {"()(editor1)()", "n0", "editor1", "d0"},
      {"(HOST7)(editor1)", "HOST7", "editor1", "d0"},
      {"(HOST7", "n0", "e0", "d0"},                  // no ')': nothing taken
      {"xHOST7)yed)zdate)", "HOST7", "ed", "date"},  // the brackets themselves are not checked
      {"(a)(b)(c)(d)", "a", "b", "c"},
  };
  for (const auto& c : cases) {
    std::string node = "n0", editor = "e0", date = "d0";
    store::ParseOwnerString(c.owner, &node, &editor, &date);
    EXPECT_EQ(node, c.node) << c.owner;
    EXPECT_EQ(editor, c.editor) << c.owner;
    EXPECT_EQ(date, c.date) << c.owner;
  }
}

using EditOwnerTest = LifecycleFixture;

TEST_F(EditOwnerTest, OwnerCommands) {
  ComPtr<IDispatch> calc = StoreCalculation("Flow1", "return 1");
  ComPtr<IDispatch> stored = store::GetCalculationObject(*cmd, B("Flow1"));
  Bstr node = B("keep-n"), editor = B("keep-e"), date = B("keep-d");
  // A stored object has no owner: the outputs stay as they were.
  ASSERT_TRUE(store::GetCalculationEditOwner(*cmd, B("Flow1"), &node, &editor, &date));
  EXPECT_EQ(node.ToUtf8() + editor.ToUtf8() + date.ToUtf8(), "keep-nkeep-ekeep-d");

  Put(stored.Get(), "EditOwner", Variant::Str("(HOST7)(editor1)(Friday, March 04, 2016 10:15:00)"));
  ASSERT_TRUE(store::GetCalculationEditOwner(*cmd, B("Flow1"), &node, &editor, &date));
  EXPECT_EQ(node.ToUtf8(), "HOST7");
  EXPECT_EQ(editor.ToUtf8(), "editor1");
  EXPECT_EQ(date.ToUtf8(), "Friday, March 04, 2016 10:15:00");
  EXPECT_FALSE(store::GetCalculationEditOwner(*cmd, B("Nope"), &node, &editor, &date));
  EXPECT_EQ(Code(), CMDERR_LOAD_FROM_FILE);

  StoreLibrary("Lib1");
  ComPtr<IDispatch> lib = store::GetLibraryObject(*cmd, B("Lib1"));
  Put(lib.Get(), "EditOwner", Variant::Str("(N)()(D)"));
  editor = B("keep-e");
  ASSERT_TRUE(store::GetLibraryEditOwner(*cmd, B("Lib1"), &node, &editor, &date));
  EXPECT_EQ(node.ToUtf8() + "|" + editor.ToUtf8() + "|" + date.ToUtf8(), "N|keep-e|D");
  EXPECT_FALSE(store::GetLibraryEditOwner(*cmd, B("Nope"), &node, &editor, &date));
  EXPECT_EQ(Code(), CMDERR_LOAD_FROM_FILE);

  // Not an object with an owner property.
  Variant formulas;
  ASSERT_EQ(com::GetProperty(lib.Get(), "Formulas", &formulas), com::S_OK);
  EXPECT_FALSE(store::GetEditOwner(*cmd, formulas.dispatch().Get(), &node, &editor, &date));
  EXPECT_EQ(Code(), CMDERR_CDB_FIELD_ACCESS);
  EXPECT_FALSE(store::GetEditOwner(*cmd, nullptr, &node, &editor, &date));
  EXPECT_EQ(Code(), CMDERR_CDB_FIELD_ACCESS);
}

// An edit copy whose owner names no node or editor belongs to nobody: blank arguments do not
// take it over; discarding it is the way out.
TEST_F(EditOwnerTest, CopyWithoutOwnerCannotBeReopened) {
  StoreCalculation("Flow1", "return 1");
  ComPtr<IDispatch> copy = store::CreateCalculationEditObject(*cmd, B("Flow1"), B("HOST7"), B("editor1"), B(""), B(""));
  ASSERT_TRUE(copy);
  Put(copy.Get(), "EditOwner", Variant::Str("()()()"));
  ASSERT_TRUE(store::SaveCalculationEditObject(*cmd, copy.Get()));
  EXPECT_FALSE(store::GetCalculationEditObject(*cmd, B("Flow1"), B(""), B("")));
  EXPECT_EQ(Code(), CMDERR_EDITED_BY_OTHER_USER);
  EXPECT_FALSE(store::GetCalculationEditObject(*cmd, B("Flow1"), B("HOST7"), B("editor1")));
  EXPECT_EQ(Code(), CMDERR_EDITED_BY_OTHER_USER);
  EXPECT_TRUE(store::DeleteCalculationEditObject(*cmd, B("Flow1")));
}

TEST(EditOwnerText, OwnerDateIsLocalTime) {
  TestEnv local("EST5");  // 2025-12-10 00:00 UTC
  EXPECT_EQ(store::MakeOwnerString("N", "E", store::NowOleDate(platform::Env::Current())), "(N)(E)(Tuesday, December 09, 2025 19:00:00)");
}

}  // namespace
}  // namespace kv::testing
