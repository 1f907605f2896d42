// The folder commands keep a folder's two directories together, undoing their first step when
// the second fails, and report with their own texts.
#include "store/lifecycle_fixture.h"
#include "store/store_commands.h"

namespace kv::testing {
namespace {

using FoldersTest = LifecycleFixture;

enum class Op { Create, Delete, Rename };

struct Case {
  const char* what;
  std::vector<std::string> dirs, files;  // made under the store before the command
  Op op;
  const char *name, *newName;
  const char* error;                         // nullptr: succeeds
  std::vector<std::string> present, absent;  // afterwards
};

TEST_F(FoldersTest, CommandsAndTheirUndo) {
  const Case cases[] = {
      {"create", {}, {}, Op::Create, "Area3", nullptr, nullptr, {"Calc/Area3", "Calc/Edit/Area3"}, {}},
      {"create existing", {"Calc/Area3", "Calc/Edit/Area3"}, {"Calc/Area3/Pump.zrc"}, Op::Create, "Area3", nullptr,
       "Folder already exists.", {"Calc/Area3/Pump.zrc", "Calc/Edit/Area3"}, {}},
      {"create, edit directory in the way", {"Calc/Edit/Area3"}, {}, Op::Create, "Area3", nullptr,
       "Error create folder directory.", {"Calc/Edit/Area3"}, {"Calc/Area3"}},
      {"create nested", {}, {}, Op::Create, "Area3\\x", nullptr, "Error creating folder directory.", {}, {}},
      {"create reserved", {}, {}, Op::Create, "Recycle", nullptr, "Error creating folder directory.", {},
       {"Calc/Recycle"}},
      {"delete", {"Calc/Area3", "Calc/Edit/Area3"}, {}, Op::Delete, "Area3", nullptr, nullptr, {},
       {"Calc/Area3", "Calc/Edit/Area3"}},
      {"delete holding a calculation", {"Calc/Area3", "Calc/Edit/Area3"}, {"Calc/Area3/Pump.zrc"}, Op::Delete, "Area3",
       nullptr, "Folder is not empty.", {"Calc/Area3/Pump.zrc", "Calc/Edit/Area3"}, {}},
      {"delete holding an edit copy", {"Calc/Area3", "Calc/Edit/Area3"}, {"Calc/Edit/Area3/Pump.zrc"}, Op::Delete,
       "Area3", nullptr, "Folder is not empty.", {"Calc/Area3", "Calc/Edit/Area3/Pump.zrc"}, {}},
      {"delete without edit directory", {"Calc/Area3"}, {}, Op::Delete, "Area3", nullptr,
       "Error remove Edit directory.", {"Calc/Area3"}, {}},
      {"delete missing", {}, {}, Op::Delete, "Area3", nullptr, "Error remove the folder.", {}, {}},
      {"rename", {"Calc/Old", "Calc/Edit/Old"}, {"Calc/Old/Pump.zrc", "Calc/Edit/Old/Pump.zrc"}, Op::Rename, "Old",
       "New", nullptr, {"Calc/New/Pump.zrc", "Calc/Edit/New/Pump.zrc"}, {"Calc/Old", "Calc/Edit/Old"}},
      {"rename onto existing", {"Calc/Old", "Calc/Edit/Old", "Calc/New", "Calc/Edit/New"}, {"Calc/Old/Pump.zrc"},
       Op::Rename, "Old", "New", "New folder name already exists.",
       {"Calc/Old/Pump.zrc", "Calc/New", "Calc/Edit/Old", "Calc/Edit/New"}, {"Calc/New/Pump.zrc"}},
      {"rename, edit directory missing", {"Calc/Old"}, {"Calc/Old/Pump.zrc"}, Op::Rename, "Old", "New",
       "Error rename the folder.", {"Calc/Old/Pump.zrc"}, {"Calc/New"}},
      {"rename, edit target taken", {"Calc/Old", "Calc/Edit/Old", "Calc/Edit/New"}, {}, Op::Rename, "Old", "New",
       "Error rename the folder.", {"Calc/Old", "Calc/Edit/Old", "Calc/Edit/New"}, {"Calc/New"}},
      {"rename missing", {}, {}, Op::Rename, "Old", "New", "Error rename the folder.", {}, {"Calc/New"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(g_BasePath + "/Calc");
    fs::create_directories(g_BasePath + "/Calc/Edit");
    for (const auto& d : c.dirs) fs::create_directories(g_BasePath + "/" + d);
    for (const auto& f : c.files) std::ofstream(g_BasePath + "/" + f) << "x";
    cmd->SetCommandError(CMDERR_INVALID_PASSWORD);
    bool ok = false;
    switch (c.op) {
      case Op::Create:
        ok = store::CreateCalcFolder(*cmd, B(c.name));
        break;
      case Op::Delete:
        ok = store::DeleteCalcFolder(*cmd, B(c.name));
        break;
      case Op::Rename:
        ok = store::RenameCalcFolder(*cmd, B(c.name), B(c.newName));
        break;
    }
    EXPECT_EQ(ok, c.error == nullptr);
    EXPECT_EQ(Code(), c.error ? CMDERR_CATCH_ALL : 0);
    EXPECT_EQ(cmd->m_lastErrorText, c.error ? c.error : "");
    for (const auto& p : c.present) EXPECT_TRUE(Exists(p)) << p;
    for (const auto& p : c.absent) EXPECT_FALSE(Exists(p)) << p;
  }
}

TEST_F(FoldersTest, RenamedFolderListsItsCalculationsUnderTheNewName) {
  ASSERT_TRUE(store::CreateCalcFolder(*cmd, B("Area3")));
  StoreCalculation("Area3\\Pump", "return 3");
  ASSERT_TRUE(store::RenameCalcFolder(*cmd, B("Area3"), B("Area4")));
  Variant list;
  store::GetCalculationList(*cmd, &list);
  std::vector<std::string> names;
  ASSERT_TRUE(com::VariantToStringList(list, &names));
  EXPECT_EQ(names, std::vector<std::string>{"Area4\\Pump"});
  EXPECT_EQ(StoredScript("Area4\\Pump"), "return 3");

  ZrCalcAppCmdObject unset;
  EXPECT_FALSE(store::CreateCalcFolder(unset, B("X")));
  EXPECT_EQ(unset.m_lastError, CMDERR_BASE_DIR_NOT_INITIALIZED);
}

}  // namespace
}  // namespace kv::testing
