// The three states of a stored name (stored; new, being edited; being edited) walked with the
// commands that enter and leave them, checking the result, the error and both files each step.
#include "log/error_log.h"
#include "store/lifecycle_fixture.h"
#include "store/store_commands.h"

namespace kv::testing {
namespace {

enum class Op { Create, Save, Open, Reopen, Cancel, DeleteEdit, Delete };

struct Step {
  Op op;
  const char* editor;  // node is always HOST7
  long code;           // 0: the command succeeds
  bool stored, edit;   // the files afterwards
};

struct Walk {
  const char* name;
  std::vector<Step> steps;
};

class EditStateTest : public LifecycleFixture {
 protected:
  // Runs one step on Flow1; `current` is the object the last create / open / reopen gave.
  bool Run(const Step& s, ComPtr<IDispatch>* current) {
    const Bstr name = B("Flow1"), node = B("HOST7"), editor = B(s.editor ? s.editor : "");
    ComPtr<IDispatch> got;
    switch (s.op) {
      case Op::Create:
        got = store::CreateCalculationObject(*cmd, name, node, editor);
        break;
      case Op::Open:
        got = store::CreateCalculationEditObject(*cmd, name, node, editor, B(""), B(""));
        break;
      case Op::Reopen:
        got = store::GetCalculationEditObject(*cmd, name, node, editor);
        break;
      case Op::Save:
        return store::SaveCalculationObject(*cmd, current->Get());
      case Op::Cancel:
        return store::CancelEdit(*cmd, current->Get());
      case Op::DeleteEdit:
        return store::DeleteCalculationEditObject(*cmd, name);
      case Op::Delete:
        return store::DeleteCalculationObject(*cmd, name, B(""), B(""));
    }
    if (got) *current = got;
    return static_cast<bool>(got);
  }
};

TEST_F(EditStateTest, Walks) {
  const Walk walks[] = {
      {"new being edited, then stored",
       {{Op::Create, "editor1", 0, false, true},
        {Op::Create, "editor1", CMDERR_ALREADY_BEING_EDITED, false, true},
        {Op::Reopen, "Editor1", CMDERR_EDITED_BY_OTHER_USER, false, true},
        {Op::Reopen, "editor1", 0, false, true},
        {Op::Open, "editor1", CMDERR_INVALID_CALCULATION_NAME, false, true},
        {Op::Delete, nullptr, CMDERR_INVALID_CALCULATION_NAME, false, true},
        {Op::Save, nullptr, 0, true, false},
        {Op::Create, "editor1", CMDERR_NAME_EXISTS, true, false}}},
      {"stored, being edited, stored again",
       {{Op::Create, "editor1", 0, false, true},
        {Op::Save, nullptr, 0, true, false},
        {Op::Reopen, "editor1", CMDERR_NOT_BEING_EDITED, true, false},
        {Op::Open, "", CMDERR_NODE_EDITOR_REQUIRED, true, false},
        {Op::Open, "editor1", 0, true, true},
        {Op::Open, "editor2", CMDERR_ALREADY_BEING_EDITED, true, true},
        {Op::Create, "editor2", CMDERR_NAME_EXISTS, true, true},  // the stored file is tested first
        {Op::Delete, nullptr, CMDERR_CURRENTLY_EDITED, true, true},
        {Op::Reopen, "Editor1", CMDERR_EDITED_BY_OTHER_USER, true, true},
        {Op::Reopen, "", CMDERR_EDITED_BY_OTHER_USER, true, true},
        {Op::Reopen, "editor1", 0, true, true},
        {Op::Save, nullptr, 0, true, false},
        {Op::DeleteEdit, nullptr, CMDERR_NOT_BEING_EDITED, true, false},
        {Op::Delete, nullptr, 0, false, false}}},
      {"being edited, cancelled or discarded",
       {{Op::Create, "editor1", 0, false, true},
        {Op::Save, nullptr, 0, true, false},
        {Op::Open, "editor1", 0, true, true},
        {Op::Cancel, nullptr, 0, true, false},
        {Op::Open, "editor2", 0, true, true},
        {Op::DeleteEdit, nullptr, 0, true, false},
        {Op::Reopen, "editor2", CMDERR_NOT_BEING_EDITED, true, false}}},
      {"new, discarded: the name no longer exists",
       {{Op::Create, "editor1", 0, false, true},
        {Op::Cancel, nullptr, 0, false, false},
        {Op::Create, "editor1", 0, false, true},
        {Op::DeleteEdit, nullptr, 0, false, false},
        {Op::DeleteEdit, nullptr, CMDERR_NOT_BEING_EDITED, false, false},
        {Op::Open, "editor1", CMDERR_INVALID_CALCULATION_NAME, false, false}}},
  };
  for (const Walk& w : walks) {
    SCOPED_TRACE(w.name);
    fs::remove_all(g_BasePath + "/Calc");
    fs::create_directories(g_BasePath + "/Calc/Edit");
    g_pEnvironment->RemoveCalculation(B("Flow1"));
    ComPtr<IDispatch> current;
    for (size_t i = 0; i < w.steps.size(); ++i) {
      const Step& s = w.steps[i];
      SCOPED_TRACE("step " + std::to_string(i));
      EXPECT_EQ(Run(s, &current), s.code == 0);
      EXPECT_EQ(Code(), s.code) << cmd->m_lastErrorText;
      EXPECT_EQ(Exists("Calc/Flow1.zrc"), s.stored);
      EXPECT_EQ(Exists("Calc/Edit/Flow1.zrc"), s.edit);
    }
  }
}

TEST_F(EditStateTest, EditCopyCarriesTheOwnerAndTheStoredObjectDoesNot) {
  ComPtr<IDispatch> created = store::CreateCalculationObject(*cmd, B("Flow1"), B("HOST7"), B("editor1"));
  ASSERT_TRUE(created);
  EXPECT_EQ(Text(created.Get(), "EditOwner"), "(HOST7)(editor1)(Wednesday, December 10, 2025 00:00:00)");
  Put(created.Get(), "Script", Variant::Str("return 1"));
  ASSERT_TRUE(store::SaveCalculationObject(*cmd, created.Get()));
  ComPtr<IDispatch> stored = store::GetCalculationObject(*cmd, B("Flow1"));
  ASSERT_TRUE(stored);
  EXPECT_EQ(Text(stored.Get(), "EditOwner"), "");
  EXPECT_EQ(Text(stored.Get(), "Script"), "return 1");

  env.clock().Advance(90'000);
  ComPtr<IDispatch> copy = store::CreateCalculationEditObject(*cmd, B("Flow1"), B("HOST7"), B("editor2"), B("u"), B(""));
  ASSERT_TRUE(copy);
  EXPECT_NE(copy, stored);  // a new object; the held one is unchanged
  EXPECT_EQ(Text(copy.Get(), "EditOwner"), "(HOST7)(editor2)(Wednesday, December 10, 2025 00:01:30)");
  EXPECT_EQ(Text(stored.Get(), "EditOwner"), "");
  Bstr node, editor, date;
  ASSERT_TRUE(store::GetEditOwner(*cmd, copy.Get(), &node, &editor, &date));
  EXPECT_EQ(editor.ToUtf8(), "editor2");

  // An edit saved without storing keeps its owner; the stored file is untouched.
  Put(copy.Get(), "Script", Variant::Str("return 2"));
  ASSERT_TRUE(store::SaveCalculationEditObject(*cmd, copy.Get()));
  ComPtr<IDispatch> again = store::GetCalculationEditObject(*cmd, B("Flow1"), B("HOST7"), B("editor2"));
  ASSERT_TRUE(again);
  EXPECT_EQ(Text(again.Get(), "Script"), "return 2");
  EXPECT_EQ(StoredScript("Flow1"), "return 1");
}

TEST_F(EditStateTest, LibraryEditCopies) {
  ComPtr<IDispatch> lib = StoreLibrary("Lib1");
  ASSERT_TRUE(lib);
  EXPECT_FALSE(store::DeleteLibraryEditObject(*cmd, B("Lib1")));
  EXPECT_EQ(Code(), CMDERR_INVALID_LIBRARY_NAME);  // not 153, as for calculations
  EXPECT_FALSE(store::GetLibraryEditObject(*cmd, B("Lib1"), B("HOST7"), B("editor1")));
  EXPECT_EQ(Code(), CMDERR_NOT_BEING_EDITED);

  ComPtr<IDispatch> copy = store::CreateLibraryEditObject(*cmd, B("Lib1"), B("HOST7"), B("editor1"), B(""), B(""));
  ASSERT_TRUE(copy) << Code();
  EXPECT_TRUE(Exists("Lib/Edit/Lib1.zrc"));
  EXPECT_FALSE(store::CreateLibraryEditObject(*cmd, B("Lib1"), B("HOST7"), B("editor1"), B(""), B("")));
  EXPECT_EQ(Code(), CMDERR_ALREADY_BEING_EDITED);
  EXPECT_FALSE(store::GetLibraryEditObject(*cmd, B("Lib1"), B("HOST7"), B("EDITOR1")));
  EXPECT_EQ(Code(), CMDERR_EDITED_BY_OTHER_USER);
  EXPECT_TRUE(store::GetLibraryEditObject(*cmd, B("Lib1"), B("HOST7"), B("editor1")));
  EXPECT_TRUE(store::SaveLibraryEditObject(*cmd, copy.Get()));
  EXPECT_TRUE(store::CancelEdit(*cmd, copy.Get()));
  EXPECT_FALSE(Exists("Lib/Edit/Lib1.zrc"));
  EXPECT_TRUE(Exists("Lib/Lib1.zrc"));

  ASSERT_TRUE(store::CreateLibraryEditObject(*cmd, B("Lib1"), B("HOST7"), B("editor1"), B(""), B("")));
  EXPECT_TRUE(store::DeleteLibraryEditObject(*cmd, B("Lib1")));
  EXPECT_FALSE(Exists("Lib/Edit/Lib1.zrc"));
  EXPECT_FALSE(store::CreateLibraryEditObject(*cmd, B("Nope"), B("HOST7"), B("editor1"), B(""), B("")));
  EXPECT_EQ(Code(), CMDERR_INVALID_LIBRARY_NAME);
}

TEST_F(EditStateTest, CancelEditOfAnythingElseAndWithoutADirectory) {
  ComPtr<IDispatch> lib = StoreLibrary("Lib1");
  Variant v;
  ASSERT_EQ(com::GetProperty(lib.Get(), "Formulas", &v), com::S_OK);
  cmd->SetCommandError(CMDERR_INVALID_PASSWORD);
  EXPECT_FALSE(store::CancelEdit(*cmd, v.dispatch().Get()));  // a collection is neither kind of object
  EXPECT_EQ(Code(), 0);

  ZrCalcAppCmdObject app;  // no directory set yet
  app.SetCommandError(CMDERR_INVALID_PASSWORD);
  EXPECT_FALSE(store::CancelEdit(app, lib.Get()));
  EXPECT_EQ(app.m_lastError, CMDERR_BASE_DIR_NOT_INITIALIZED);
}

TEST_F(EditStateTest, DamagedEditCopyIsALoadFailureUntilDiscarded) {
  StoreCalculation("Flow1", "return 1");
  StoreLibrary("Lib1");
  std::ofstream(g_BasePath + "/Calc/Edit/Flow1.zrc") << "<Calculation version=\"1\"><Na";
  std::ofstream(g_BasePath + "/Lib/Edit/Lib1.zrc") << "not xml";
  std::vector<std::string> lines;
  auto previous = log::SetErrorSink([&](std::string_view m, std::string_view) { lines.emplace_back(m); });
  EXPECT_FALSE(store::GetCalculationEditObject(*cmd, B("Flow1"), B("HOST7"), B("editor1")));
  EXPECT_EQ(Code(), CMDERR_LOAD_FROM_FILE);
  EXPECT_FALSE(store::GetLibraryEditObject(*cmd, B("Lib1"), B("HOST7"), B("editor1")));
  EXPECT_EQ(Code(), CMDERR_LOAD_FROM_FILE);
  log::SetErrorSink(previous);
  EXPECT_EQ(lines.size(), 2u);
  EXPECT_TRUE(store::DeleteCalculationEditObject(*cmd, B("Flow1")));
  EXPECT_TRUE(store::DeleteLibraryEditObject(*cmd, B("Lib1")));
  EXPECT_TRUE(store::CreateCalculationEditObject(*cmd, B("Flow1"), B("HOST7"), B("editor1"), B(""), B("")));
}

}  // namespace
}  // namespace kv::testing
