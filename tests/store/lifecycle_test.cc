// Creating, saving, copying and deleting calculations and libraries: the order of the checks,
// copies, passwords, the CalcScript-only rights and what deletion keeps.
#include "engine/library.h"
#include "base/rights.h"
#include "store/lifecycle_fixture.h"
#include "store/store_names.h"
#include "store/object_password.h"
#include "store/store_commands.h"

namespace kv::testing {
namespace {

using CalcLifecycleTest = LifecycleFixture;

TEST_F(CalcLifecycleTest, CreationChecksTheStoredFileBeforeTheEditCopy) {
  struct Case {
    bool stored, edit;
    const char* name;
    long calcCode, libCode;
  } cases[] = {
      {false, false, "Flow1", 0, 0},
      {false, true, "Flow1", CMDERR_ALREADY_BEING_EDITED, CMDERR_ALREADY_BEING_EDITED},
      {true, false, "Flow1", CMDERR_NAME_EXISTS, CMDERR_NAME_EXISTS},
      {true, true, "Flow1", CMDERR_NAME_EXISTS, CMDERR_NAME_EXISTS},
      {false, false, "Flow 1", CMDERR_NAME_HAS_SPACES, CMDERR_NAME_HAS_SPACES},
      {false, false, "Flow\t1", CMDERR_NAME_HAS_SPACES, CMDERR_NAME_HAS_SPACES},
      // Calc\Edit\Area3 does not exist; libraries have no folders.
      {false, false, "Area3\\Flow1", CMDERR_SAVE_OBJECT, CMDERR_NAME_HAS_SPACES},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + (c.stored ? " stored" : "") + (c.edit ? " edit" : ""));
    for (const char* dir : {"Calc", "Lib"}) {
      fs::remove_all(g_BasePath + "/" + dir);
      fs::create_directories(g_BasePath + "/" + dir + "/Edit");
      if (c.stored) std::ofstream(g_BasePath + "/" + dir + "/Flow1.zrc") << "x";
      if (c.edit) std::ofstream(g_BasePath + "/" + dir + "/Edit/Flow1.zrc") << "x";
    }
    EXPECT_EQ(static_cast<bool>(store::CreateCalculationObject(*cmd, B(c.name), B("HOST7"), B("editor1"))), c.calcCode == 0);
    EXPECT_EQ(Code(), c.calcCode);
    EXPECT_EQ(static_cast<bool>(store::CreateLibraryObject(*cmd, B(c.name), B("HOST7"), B("editor1"))), c.libCode == 0);
    EXPECT_EQ(Code(), c.libCode);
  }
}

TEST_F(CalcLifecycleTest, SaveAsWithAndWithoutOverWrite) {
  ComPtr<IDispatch> flow1 = StoreCalculation("Flow1", "return 1");
  StoreCalculation("Flow2", "return 2");
  ASSERT_EQ(StoredScript("Flow2"), "return 2");

  EXPECT_FALSE(store::SaveCalculationObjectAs(*cmd, flow1.Get(), B("Flow2"), false));
  EXPECT_EQ(Code(), CMDERR_NAME_EXISTS);
  EXPECT_EQ(StoredScript("Flow2"), "return 2");

  ComPtr<IDispatch> held = store::GetCalculationObject(*cmd, B("Flow2"));
  EXPECT_TRUE(store::SaveCalculationObjectAs(*cmd, flow1.Get(), B("Flow2"), true));
  EXPECT_EQ(Code(), 0);
  Variant list;
  store::GetCalculationList(*cmd, &list);
  std::vector<std::string> names;
  ASSERT_TRUE(com::VariantToStringList(list, &names));
  EXPECT_EQ(names, std::vector<std::string>{"Flow2"});
  EXPECT_NE(store::GetCalculationObject(*cmd, B("Flow2")), held);  // the replaced object is not served any more
  EXPECT_EQ(StoredScript("Flow2"), "return 1");
  // Both the replaced Flow2 and the moved-away Flow1 are kept.
  EXPECT_EQ(Entries("Calc/Recycle"),
            (std::vector<std::string>{"Flow1.zrc", "Flow1.zrc.last", "Flow2.zrc", "Flow2.zrc.last"}));
  EXPECT_EQ(Entries("Calc/Edit"), std::vector<std::string>{});

  // Without OverWrite to a new name.
  EXPECT_TRUE(store::SaveCalculationObjectAs(*cmd, flow1.Get(), B("Flow3"), false));
  EXPECT_EQ(StoredScript("Flow3"), "return 1");
  EXPECT_EQ(Text(flow1.Get(), "Name"), "Flow1");  // the object keeps its name
}

TEST_F(CalcLifecycleTest, LibrarySaveAsLeavesACopy) {
  ComPtr<IDispatch> lib = StoreLibrary("Lib1");
  auto* impl = dynamic_cast<engine::ZrLibrary*>(lib.Get());
  ASSERT_NE(impl, nullptr);
  impl->NewFormula("F1");
  ASSERT_TRUE(store::SaveLibraryObjectAs(*cmd, lib.Get(), B("Lib2"), false));
  Variant list;
  store::GetLibraryList(*cmd, &list);
  std::vector<std::string> names;
  ASSERT_TRUE(com::VariantToStringList(list, &names));
  EXPECT_EQ(names, (std::vector<std::string>{"Lib1", "Lib2"}));
  ComPtr<IDispatch> copy = store::GetLibraryObject(*cmd, B("Lib2"));
  ASSERT_TRUE(copy);
  Variant formulas;
  store::GetFormulaList(*cmd, copy.Get(), &formulas);
  ASSERT_TRUE(com::VariantToStringList(formulas, &names));
  EXPECT_EQ(names, std::vector<std::string>{"F1"});

  EXPECT_FALSE(store::SaveLibraryObjectAs(*cmd, lib.Get(), B("Lib2"), false));
  EXPECT_EQ(Code(), CMDERR_NAME_EXISTS);
  std::ofstream(g_BasePath + "/Lib/Edit/Lib3.zrc") << "x";
  EXPECT_FALSE(store::SaveLibraryObjectAs(*cmd, lib.Get(), B("Lib3"), true));
  EXPECT_EQ(Code(), CMDERR_ALREADY_BEING_EDITED);

  // SaveLibraryFormula stores and makes the environment read the library again.
  ComPtr<IDispatch> held = store::GetLibraryObject(*cmd, B("Lib1"));
  impl->NewFormula("F2");
  ASSERT_TRUE(store::SaveLibraryFormula(*cmd, lib.Get(), B("F2")));
  ComPtr<IDispatch> reread = store::GetLibraryObject(*cmd, B("Lib1"));
  EXPECT_NE(reread, held);
  store::GetFormulaList(*cmd, reread.Get(), &formulas);
  ASSERT_TRUE(com::VariantToStringList(formulas, &names));
  EXPECT_EQ(names, (std::vector<std::string>{"F1", "F2"}));
}

TEST_F(CalcLifecycleTest, PasswordCodes) {
  struct Case {
    const char* text;
    int32_t code;
  } cases[] = {
      {"", 0},
      {"A", 65 * 42},
      {"ab", 97 * 42 + 98 * 43},
      {"ba", 98 * 42 + 97 * 43},          // same bytes, other order, other code
      {"\xC3\xA9", -61 * 42 + -87 * 43},  // bytes above 0x7F count as negative
  };
  for (const auto& c : cases) EXPECT_EQ(store::PasswordCode(c.text), c.code) << c.text;
  // The sum wraps in 32 bits.
  const std::string longText(20000, '\x7F');
  int64_t sum = 0;
  for (size_t i = 0; i < longText.size(); ++i) sum += 127 * static_cast<int64_t>(i + 42);
  EXPECT_EQ(store::PasswordCode(longText), static_cast<int32_t>(static_cast<uint32_t>(sum)));
}

TEST_F(CalcLifecycleTest, BeingEditedIsReportedBeforeAWrongPassword) {
  ComPtr<IDispatch> flow1 = StoreCalculation("Flow1", "return 1");
  ComPtr<IDispatch> stored = store::GetCalculationObject(*cmd, B("Flow1"));
  EXPECT_FALSE(store::SetObjectPassword(*cmd, stored.Get(), B("u"), B("wrong"), B("op"), B("ab")));
  EXPECT_EQ(Code(), CMDERR_INVALID_PASSWORD);
  ASSERT_TRUE(store::SetObjectPassword(*cmd, stored.Get(), B("u"), B(""), B("op"), B("ab")));
  EXPECT_EQ(Text(stored.Get(), "ID"), "op");

  ASSERT_TRUE(store::CreateCalculationEditObject(*cmd, B("Flow1"), B("HOST7"), B("editor1"), B("op"), B("ab")));
  EXPECT_FALSE(store::DeleteCalculationObject(*cmd, B("Flow1"), B("op"), B("wrong")));
  EXPECT_EQ(Code(), CMDERR_CURRENTLY_EDITED);
  ASSERT_TRUE(store::DeleteCalculationEditObject(*cmd, B("Flow1")));

  EXPECT_FALSE(store::CreateCalculationEditObject(*cmd, B("Flow1"), B("HOST7"), B("editor1"), B("op"), B("ba")));
  EXPECT_EQ(Code(), CMDERR_INVALID_PASSWORD);
  EXPECT_FALSE(Exists("Calc/Edit/Flow1.zrc"));
  EXPECT_FALSE(store::DeleteCalculationObject(*cmd, B("Flow1"), B("op"), B("ba")));
  EXPECT_EQ(Code(), CMDERR_INVALID_PASSWORD);
  EXPECT_FALSE(store::DeleteCalculationObject(*cmd, B("Flow1"), B("op"), B("")));  // empty matches only code 0
  EXPECT_EQ(Code(), CMDERR_INVALID_PASSWORD);
  EXPECT_TRUE(store::DeleteCalculationObject(*cmd, B("Flow1"), B("anyone"), B("ab")));
  EXPECT_FALSE(Exists("Calc/Flow1.zrc"));
  EXPECT_FALSE(store::GetCalculationObject(*cmd, B("Flow1")));

  StoreLibrary("Lib1");
  ComPtr<IDispatch> lib = store::GetLibraryObject(*cmd, B("Lib1"));
  ASSERT_TRUE(store::SetObjectPassword(*cmd, lib.Get(), B(""), B(""), B("op"), B("pw")));
  ASSERT_TRUE(store::SaveLibraryObject(*cmd, lib.Get()));  // the new password reaches the store with a save
  EXPECT_FALSE(store::DeleteLibraryObject(*cmd, B("Lib1"), B("op"), B("")));
  EXPECT_EQ(Code(), CMDERR_INVALID_PASSWORD);
  EXPECT_TRUE(store::DeleteLibraryObject(*cmd, B("Lib1"), B("op"), B("pw")));
  EXPECT_FALSE(store::DeleteLibraryObject(*cmd, B("Lib1"), B("op"), B("pw")));
  EXPECT_EQ(Code(), CMDERR_INVALID_LIBRARY_NAME);
}

TEST_F(CalcLifecycleTest, CalcScriptOnlyRights) {
  StoreCalculation("Script", "return 1", 4);
  StoreCalculation("Other", "x", 3);
  ComPtr<IDispatch> scriptLib = StoreLibrary("ScriptLib");
  ComPtr<IDispatch> otherLib = StoreLibrary("OtherLib");
  ComPtr<IDispatch> emptyLib = StoreLibrary("EmptyLib");
  dynamic_cast<engine::ZrLibrary*>(scriptLib.Get())->NewFormula("F");
  dynamic_cast<engine::ZrLibrary*>(otherLib.Get())->NewFormula("F")->SetCalcType(3);
  dynamic_cast<engine::ZrLibrary*>(otherLib.Get())->NewFormula("G");
  ASSERT_TRUE(store::SaveLibraryObject(*cmd, scriptLib.Get()));
  ASSERT_TRUE(store::SaveLibraryObject(*cmd, otherLib.Get()));

  struct Case {
    uint32_t held;
    const char* object;
    long save, open, del;
    std::vector<uint32_t> asked;
  } cases[] = {
      {0x20, "Script", 0, 0, 0, {0x10, 0x20}},
      {0x20, "Other", 193, 193, 193, {0x10, 0x20}},
      {0x00, "Script", 192, 192, 192, {0x10, 0x20}},
      {0x10, "Other", 0, 0, 0, {0x10}},
      {0x200, "ScriptLib", 0, 0, 0, {0x100, 0x200}},
      {0x200, "EmptyLib", 0, 0, 0, {0x100, 0x200}},
      {0x200, "OtherLib", 196, 196, 196, {0x100, 0x200}},
      {0x20, "OtherLib", 195, 195, 195, {0x100, 0x200}},
      {0x100, "OtherLib", 0, 0, 0, {0x100}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.object) + " held " + std::to_string(c.held));
    const bool library = std::string(c.object).find("Lib") != std::string::npos;
    const Bstr name = B(c.object);
    service->heldRights = 0xFFFFFFFFu;
    ComPtr<IDispatch> obj = library ? store::GetLibraryObject(*cmd, name) : store::GetCalculationObject(*cmd, name);
    ASSERT_TRUE(obj);
    service->heldRights = c.held;
    service->checks.clear();

    EXPECT_EQ(library ? store::SaveLibraryObject(*cmd, obj.Get()) : store::SaveCalculationObject(*cmd, obj.Get()), c.save == 0);
    EXPECT_EQ(Code(), c.save);
    std::vector<uint32_t> asked;
    for (const auto& check : service->checks) asked.push_back(check.right);
    EXPECT_EQ(asked, c.asked);

    ComPtr<IDispatch> copy = library ? store::CreateLibraryEditObject(*cmd, name, B("H"), B("e"), B(""), B(""))
                                     : store::CreateCalculationEditObject(*cmd, name, B("H"), B("e"), B(""), B(""));
    EXPECT_EQ(Code(), c.open);
    if (copy) {
      EXPECT_TRUE(store::CancelEdit(*cmd, copy.Get()));
    }
    EXPECT_FALSE(Exists((library ? "Lib/Edit/" : "Calc/Edit/") + std::string(c.object) + ".zrc"));

    // A refused delete leaves the object; a granted one is undone for the next case.
    const bool deleted =
        library ? store::DeleteLibraryObject(*cmd, name, B(""), B("")) : store::DeleteCalculationObject(*cmd, name, B(""), B(""));
    EXPECT_EQ(deleted, c.del == 0);
    EXPECT_EQ(Code(), c.del);
    if (deleted) {
      service->heldRights = 0xFFFFFFFFu;
      ASSERT_TRUE(library ? store::SaveLibraryObject(*cmd, obj.Get()) : store::SaveCalculationObject(*cmd, obj.Get()));
    }
  }
}

TEST_F(CalcLifecycleTest, DeletionsAreRecycledWithoutReplacingEarlierOnes) {
  fs::create_directories(g_BasePath + "/Calc/Area3");
  fs::create_directories(g_BasePath + "/Calc/Edit/Area3");
  for (const char* name : {"Flow1", "Area3\\Pump"}) {
    for (int version = 1; version <= 3; ++version) {
      StoreCalculation(name, "v" + std::to_string(version));
      ASSERT_TRUE(store::DeleteCalculationObject(*cmd, B(name), B(""), B(""))) << Code();
    }
  }
  // Each save kept the content it replaced (none here: each version was new) and each
  // deletion moved the stored file.
  EXPECT_EQ(Entries("Calc/Recycle"),
            (std::vector<std::string>{"Area3", "Flow1.1.zrc", "Flow1.2.zrc", "Flow1.zrc", "Flow1.zrc.last"}));
  EXPECT_EQ(Entries("Calc/Recycle/Area3"),
            (std::vector<std::string>{"Pump.1.zrc", "Pump.2.zrc", "Pump.zrc", "Pump.zrc.last"}));
  ComPtr<IDispatch> recycled;
  ASSERT_EQ(g_pEnvironment->LoadCalculationFile(B(g_BasePath + "\\Calc\\Recycle\\Flow1.2.zrc"), B("Flow1"), &recycled),
            com::S_OK);
  EXPECT_EQ(Text(recycled.Get(), "Script"), "v3");
  // The folder's own directories hold nothing, so the folder can go.
  EXPECT_TRUE(store::DeleteCalcFolder(*cmd, B("Area3"))) << cmd->m_lastErrorText;

  // A save keeps the content it replaces.
  StoreCalculation("Flow2", "old");
  ComPtr<IDispatch> flow2 = store::GetCalculationObject(*cmd, B("Flow2"));
  Put(flow2.Get(), "Script", Variant::Str("new"));
  ASSERT_TRUE(store::SaveCalculationObject(*cmd, flow2.Get()));
  ASSERT_EQ(g_pEnvironment->LoadCalculationFile(B(g_BasePath + "\\Calc\\Recycle\\Flow2.zrc"), B("Flow2"), &recycled),
            com::S_OK);
  EXPECT_EQ(Text(recycled.Get(), "Script"), "old");
  EXPECT_EQ(StoredScript("Flow2"), "new");

  StoreLibrary("Lib1");
  ASSERT_TRUE(store::DeleteLibraryObject(*cmd, B("Lib1"), B(""), B("")));
  EXPECT_EQ(Entries("Lib/Recycle"), (std::vector<std::string>{"Lib1.zrc", "Lib1.zrc.last"}));
}

TEST_F(CalcLifecycleTest, StoreDirectoriesAreNotReachableAsFoldersAndLongNamesFit) {
  StoreCalculation("Flow1", "stored");
  ComPtr<IDispatch> other = store::CreateCalculationObject(*cmd, B("Draft"), B("HOST9"), B("someone"));
  ASSERT_TRUE(other);
  ASSERT_TRUE(store::DeleteCalculationObject(*cmd, B("Flow1"), B(""), B("")));
  ASSERT_TRUE(Exists("Calc/Edit/Draft.zrc"));
  ASSERT_TRUE(Exists("Calc/Recycle/Flow1.zrc"));
  // Another user's edit copy and a deleted calculation are not served as calculations.
  EXPECT_FALSE(store::GetCalculationObject(*cmd, B("Edit\\Draft")));
  EXPECT_FALSE(store::GetCalculationObject(*cmd, B("Recycle\\Flow1")));
  EXPECT_EQ(Code(), 0);

  // The longest name goes through creation, saves (with a Recycle copy) and SaveAs.
  const std::string longest(store::kMaxNameBytes, 'n');
  ComPtr<IDispatch> calc = StoreCalculation(longest, "v1");
  ASSERT_TRUE(calc);
  Put(calc.Get(), "Script", Variant::Str("v2"));
  EXPECT_TRUE(store::SaveCalculationObject(*cmd, calc.Get())) << Code();
  EXPECT_TRUE(Exists("Calc/Recycle/" + longest + ".zrc"));
  const std::string other200 = std::string(store::kMaxNameBytes - 1, 'm') + "2";
  EXPECT_TRUE(store::SaveCalculationObjectAs(*cmd, calc.Get(), B(other200), false)) << Code();
  EXPECT_EQ(StoredScript(other200), "v2");
}

TEST_F(CalcLifecycleTest, AnApplicationStoreDeletesForGood) {
  fs::create_directories(g_BasePath + "/Apps/Line2");
  cmd = std::make_unique<ZrCalcCmdObject>();
  ASSERT_TRUE(cmd->SetBaseDirectory("Line2"));
  service->heldRights = 0;  // not asked
  StoreCalculation("Flow1", "v1");
  ComPtr<IDispatch> flow1 = store::GetCalculationObject(*cmd, B("Flow1"));
  ASSERT_TRUE(flow1);
  EXPECT_EQ(Text(flow1.Get(), "Script"), "v1");
  Put(flow1.Get(), "Script", Variant::Str("v2"));
  ASSERT_TRUE(store::SaveCalculationObject(*cmd, flow1.Get()));
  ASSERT_TRUE(store::DeleteCalculationObject(*cmd, B("Flow1"), B(""), B("")));
  EXPECT_EQ(Entries("Apps/Line2/Calc"), std::vector<std::string>{"Edit"});
  EXPECT_TRUE(service->checks.empty());
  EXPECT_FALSE(Exists("Calc/Flow1.zrc"));
}

// A client name that would leave the store or breaks the name rule is refused by every command
// with its own code (169 on creation, the unknown-object code elsewhere), and no file anywhere
// under the test's root changes.
TEST_F(CalcLifecycleTest, UnsafeNamesTouchNoFile) {
  ComPtr<IDispatch> lib = StoreLibrary("Lib1");
  fs::create_directories(env.root() + "/outside/Edit");
  std::ofstream(env.root() + "/outside/x.zrc") << "keep";
  std::ofstream(env.root() + "/outside/Edit/x.zrc") << "keep";
  auto snapshot = [&] {
    std::vector<std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(env.root())) files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    return files;
  };
  const auto before = snapshot();
  // Names that would leave the store, and names that break the one name rule: white space,
  // controls, characters that disguise text, the store's own directories as a folder in any
  // case, a folder the scan would read as a file, and a name too long for the store's suffixes.
  const std::vector<std::string> names = {
      "..\\outside\\x", "../outside/x", "/etc/passwd", "..", "", "Edit\\Flow1", "Recycle\\x", "a\\b\\c",
      "..\\..\\outside\\x", "a b", " Flow1", "Flow1\t", "x\ny", "\x1b[2Jx", "\xE2\x80\xAEgpj.exe",
      "\xEF\xBB\xBFx", "a\xE2\x80\x8B" "b", "\xC2\x85x", "x\x7F", "edit\\Flow1", "RECYCLE\\x", "Area.3\\Flow1",
      "Area3\\", std::string(201, 'x')};
  for (const std::string& raw : names) {
    SCOPED_TRACE(raw);
    const Bstr name = B(raw);
    EXPECT_FALSE(store::CreateCalculationObject(*cmd, name, B("H"), B("e")));
    EXPECT_EQ(Code(), CMDERR_NAME_HAS_SPACES);
    EXPECT_FALSE(store::CreateLibraryObject(*cmd, name, B("H"), B("e")));
    EXPECT_EQ(Code(), CMDERR_NAME_HAS_SPACES);
    EXPECT_FALSE(store::DeleteCalculationObject(*cmd, name, B(""), B("")));
    EXPECT_EQ(Code(), CMDERR_INVALID_CALCULATION_NAME);
    EXPECT_FALSE(store::DeleteLibraryObject(*cmd, name, B(""), B("")));
    EXPECT_EQ(Code(), CMDERR_INVALID_LIBRARY_NAME);
    EXPECT_FALSE(store::CreateCalculationEditObject(*cmd, name, B("H"), B("e"), B(""), B("")));
    EXPECT_EQ(Code(), CMDERR_INVALID_CALCULATION_NAME);
    EXPECT_FALSE(store::CreateLibraryEditObject(*cmd, name, B("H"), B("e"), B(""), B("")));
    EXPECT_EQ(Code(), CMDERR_INVALID_LIBRARY_NAME);
    EXPECT_FALSE(store::GetCalculationEditObject(*cmd, name, B("H"), B("e")));
    EXPECT_EQ(Code(), CMDERR_NOT_BEING_EDITED);
    EXPECT_FALSE(store::GetLibraryEditObject(*cmd, name, B("H"), B("e")));
    EXPECT_EQ(Code(), CMDERR_NOT_BEING_EDITED);
    EXPECT_FALSE(store::DeleteCalculationEditObject(*cmd, name));
    EXPECT_EQ(Code(), CMDERR_NOT_BEING_EDITED);
    EXPECT_FALSE(store::DeleteLibraryEditObject(*cmd, name));
    EXPECT_EQ(Code(), CMDERR_INVALID_LIBRARY_NAME);
    EXPECT_FALSE(store::SaveCalculationObjectAs(*cmd, lib.Get(), name, true));
    EXPECT_EQ(Code(), CMDERR_INVALID_CALCULATION_NAME);
    EXPECT_FALSE(store::SaveLibraryObjectAs(*cmd, lib.Get(), name, true));
    EXPECT_EQ(Code(), CMDERR_INVALID_LIBRARY_NAME);
    Bstr node, editor, date;
    EXPECT_FALSE(store::GetCalculationEditOwner(*cmd, name, &node, &editor, &date));
    EXPECT_EQ(Code(), CMDERR_LOAD_FROM_FILE);
    for (bool ok : {store::CreateCalcFolder(*cmd, name), store::DeleteCalcFolder(*cmd, name), store::RenameCalcFolder(*cmd, name, B("F")),
                    store::RenameCalcFolder(*cmd, B("F"), name)}) {
      EXPECT_FALSE(ok);
      EXPECT_EQ(Code(), CMDERR_CATCH_ALL);
    }
  }
  // An object whose own name would leave the store is not saved either.
  ComPtr<IDispatch> calc;
  ASSERT_EQ(com::CreateInstance(components::CLSID_ZrCalculation, &calc), com::S_OK);
  Put(calc.Get(), "Name", Variant::Str("..\\outside\\x"));
  EXPECT_FALSE(store::SaveCalculationObject(*cmd, calc.Get()));
  EXPECT_EQ(Code(), CMDERR_INVALID_CALCULATION_NAME);
  EXPECT_FALSE(store::SaveCalculationEditObject(*cmd, calc.Get()));
  EXPECT_FALSE(store::CancelEdit(*cmd, calc.Get()));
  EXPECT_EQ(snapshot(), before);
}

}  // namespace
}  // namespace kv::testing
