// Commands that write calculations, libraries, folders or edit copies ask the access gate first:
// a caller without the right is refused with its code and no file of the store changes; a caller
// with it still succeeds. The store holds a password-protected calculation with an open edit
// copy, a library with one, a second calculation and library, and a folder.
#include <functional>
#include <map>

#include "base/rights.h"
#include "store/lifecycle_fixture.h"
#include "store/store_commands.h"

namespace kv::testing {
namespace {

struct Objects {
  ComPtr<IDispatch> flow2, editFlow1, lib1, lib2, editLib1;
};

struct Case {
  const char* name;
  long refusal;
  std::function<bool(CCalcCmdBase&, const Objects&)> run;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

Bstr S(const char* s) { return Bstr::FromUtf8(s); }

const Case kCases[] = {
    {"SaveCalculationObjectAsOverPasswordProtected", security::kRefusedCalc,
     [](CCalcCmdBase& c, const Objects& o) { return store::SaveCalculationObjectAs(c, o.flow2.Get(), S("Flow1"), true); }},
    {"SaveCalculationObjectAsNewName", security::kRefusedCalc,
     [](CCalcCmdBase& c, const Objects& o) { return store::SaveCalculationObjectAs(c, o.flow2.Get(), S("Flow3"), false); }},
    {"SaveCalculationEditObject", security::kRefusedCalc,
     [](CCalcCmdBase& c, const Objects& o) { return store::SaveCalculationEditObject(c, o.editFlow1.Get()); }},
    {"DeleteCalculationEditObject", security::kRefusedCalc,
     [](CCalcCmdBase& c, const Objects&) { return store::DeleteCalculationEditObject(c, S("Flow1")); }},
    {"GetCalculationEditObject", security::kRefusedCalc,
     [](CCalcCmdBase& c, const Objects&) {
       return store::GetCalculationEditObject(c, S("Flow1"), S("HOST7"), S("editor1")) != nullptr;
     }},
    {"CancelEditCalculation", security::kRefusedCalc,
     [](CCalcCmdBase& c, const Objects& o) { return store::CancelEdit(c, o.editFlow1.Get()); }},
    {"SetObjectPasswordCalculation", security::kRefusedCalc,
     [](CCalcCmdBase& c, const Objects& o) {
       return store::SetObjectPassword(c, o.flow2.Get(), S(""), S(""), S("thief"), S("mine"));
     }},
    {"CreateCalcFolder", security::kRefusedCalc,
     [](CCalcCmdBase& c, const Objects&) { return store::CreateCalcFolder(c, S("Area2")); }},
    {"RenameCalcFolder", security::kRefusedCalc,
     [](CCalcCmdBase& c, const Objects&) { return store::RenameCalcFolder(c, S("Area1"), S("Area9")); }},
    {"DeleteCalcFolder", security::kRefusedCalc,
     [](CCalcCmdBase& c, const Objects&) { return store::DeleteCalcFolder(c, S("Area1")); }},
    {"SaveLibraryObjectAsOverStored", security::kRefusedLibrary,
     [](CCalcCmdBase& c, const Objects& o) { return store::SaveLibraryObjectAs(c, o.lib1.Get(), S("Lib2"), true); }},
    {"SaveLibraryEditObject", security::kRefusedLibrary,
     [](CCalcCmdBase& c, const Objects& o) { return store::SaveLibraryEditObject(c, o.editLib1.Get()); }},
    {"DeleteLibraryEditObject", security::kRefusedLibrary,
     [](CCalcCmdBase& c, const Objects&) { return store::DeleteLibraryEditObject(c, S("Lib1")); }},
    {"CancelEditLibrary", security::kRefusedLibrary,
     [](CCalcCmdBase& c, const Objects& o) { return store::CancelEdit(c, o.editLib1.Get()); }},
    {"SetObjectPasswordLibrary", security::kRefusedLibrary,
     [](CCalcCmdBase& c, const Objects& o) {
       return store::SetObjectPassword(c, o.lib2.Get(), S(""), S(""), S("thief"), S("mine"));
     }},
};

class WriteRightsTest : public LifecycleFixture, public ::testing::WithParamInterface<Case> {
 protected:
  void SetUp() override {
    LifecycleFixture::SetUp();
    ComPtr<IDispatch> flow1 = StoreCalculation("Flow1", "return 1");
    ASSERT_TRUE(flow1);
    ASSERT_TRUE(store::SetObjectPassword(*cmd, flow1.Get(), B(""), B(""), B("owner"), B("secret")));
    ASSERT_TRUE(store::SaveCalculationObject(*cmd, flow1.Get())) << Code();
    o.flow2 = StoreCalculation("Flow2", "return 2");
    o.lib1 = StoreLibrary("Lib1");
    o.lib2 = StoreLibrary("Lib2");
    o.editFlow1 = store::CreateCalculationEditObject(*cmd, B("Flow1"), B("HOST7"), B("editor1"), B("owner"), B("secret"));
    ASSERT_TRUE(o.editFlow1) << Code();
    o.editLib1 = store::CreateLibraryEditObject(*cmd, B("Lib1"), B("HOST7"), B("editor1"), B(""), B(""));
    ASSERT_TRUE(o.editLib1) << Code();
    ASSERT_TRUE(store::CreateCalcFolder(*cmd, B("Area1"))) << Code();
  }

  // Every file and folder under the store with its content.
  static std::map<std::string, std::string> Snapshot() {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(g_BasePath)) {
      const std::string rel = fs::relative(e.path(), g_BasePath);
      if (e.is_directory()) {
        files[rel] = "<dir>";
      } else {
        std::ifstream in(e.path(), std::ios::binary);
        files[rel].assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      }
    }
    return files;
  }
  static std::string Password(IDispatch* obj) {
    Variant v;
    EXPECT_EQ(com::GetProperty(obj, "Password", &v), com::S_OK);
    Variant code;
    EXPECT_EQ(com::ChangeType(v, com::VT_I4, &code), com::S_OK);
    return std::to_string(code.i4());
  }

  Objects o;
};

TEST_P(WriteRightsTest, RefusedWithoutTheRightAndChangesNothing) {
  const Case& c = GetParam();
  const auto before = Snapshot();
  const std::string passwords = Password(o.flow2.Get()) + "/" + Password(o.lib2.Get());
  service->heldRights = security::kRightExecute | security::kRightSchedule | security::kRightUnits;
  cmd->SetCommandError(CMDERR_INVALID_PASSWORD);
  EXPECT_FALSE(c.run(*cmd, o));
  EXPECT_EQ(Code(), c.refusal);
  EXPECT_EQ(Snapshot(), before);
  EXPECT_EQ(Password(o.flow2.Get()) + "/" + Password(o.lib2.Get()), passwords);

  service->heldRights = 0xFFFFFFFFu;
  EXPECT_TRUE(c.run(*cmd, o)) << Code();
  EXPECT_EQ(Code(), 0);
}

INSTANTIATE_TEST_SUITE_P(NewlyGated, WriteRightsTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// A caller holding only the CalcScript right may touch CalcScript calculations only; for an edit
// copy that is judged by the copy on disk, not by the object a client passes.
TEST_F(LifecycleFixture, CalcScriptOnlyCallerIsRefusedOtherCalculations) {
  constexpr long kPlainType = 1;
  ComPtr<IDispatch> plain = StoreCalculation("Plain", "x", kPlainType);
  ComPtr<IDispatch> script = StoreCalculation("Script", "return 1");
  ASSERT_TRUE(plain && script);
  ComPtr<IDispatch> plainEdit = store::CreateCalculationEditObject(*cmd, B("Plain"), B("HOST7"), B("editor1"), B(""), B(""));
  ASSERT_TRUE(plainEdit) << Code();
  ASSERT_TRUE(store::CreateCalculationEditObject(*cmd, B("Script"), B("HOST7"), B("editor1"), B(""), B(""))) << Code();
  // A CalcScript object carrying the other calculation's name.
  ComPtr<IDispatch> disguised = store::GetCalculationEditObject(*cmd, B("Script"), B("HOST7"), B("editor1"));
  ASSERT_TRUE(disguised);
  Put(disguised.Get(), "Name", Variant::Str("Plain"));
  const std::vector<std::string> edits = Entries("Calc/Edit");

  service->heldRights = security::kRightCalcScriptCalc;
  struct {
    const char* name;
    std::function<bool()> run;
  } refused[] = {
      {"SaveCalculationObjectAs", [&] { return store::SaveCalculationObjectAs(*cmd, plain.Get(), B("Plain2"), false); }},
      {"SaveCalculationEditObject", [&] { return store::SaveCalculationEditObject(*cmd, plainEdit.Get()); }},
      {"DeleteCalculationEditObject", [&] { return store::DeleteCalculationEditObject(*cmd, B("Plain")); }},
      {"CancelEdit", [&] { return store::CancelEdit(*cmd, plainEdit.Get()); }},
      {"CancelEditByName", [&] { return store::CancelEdit(*cmd, disguised.Get()); }},
      {"GetCalculationEditObject",
       [&] { return store::GetCalculationEditObject(*cmd, B("Plain"), B("HOST7"), B("editor1")) != nullptr; }},
      {"SetObjectPassword", [&] { return store::SetObjectPassword(*cmd, plain.Get(), B(""), B(""), B("u"), B("p")); }},
  };
  for (const auto& r : refused) {
    SCOPED_TRACE(r.name);
    EXPECT_FALSE(r.run());
    EXPECT_EQ(Code(), CMDERR_DENIED_NONSCRIPT_CALC);
  }
  EXPECT_EQ(Entries("Calc/Edit"), edits);
  EXPECT_FALSE(Exists("Calc/Plain2.zrc"));

  // Its own kind stays open to it; folders need the full right.
  EXPECT_TRUE(store::DeleteCalculationEditObject(*cmd, B("Script"))) << Code();
  EXPECT_FALSE(store::CreateCalcFolder(*cmd, B("Area1")));
  EXPECT_EQ(Code(), CMDERR_DENIED_CALC);
}

// The objects GetCalculationObject and GetLibraryObject hand out are the ones every client gets:
// their properties change only for a caller with the matching right (either of its pair); an
// edit copy stays the editor's to change.
TEST_F(LifecycleFixture, HeldObjectsTakePropertyPutsOnlyFromACallerWithTheRight) {
  StoreCalculation("Flow1", "return 1");
  StoreLibrary("Lib1");
  ComPtr<IDispatch> edit = store::CreateCalculationEditObject(*cmd, B("Flow1"), B("HOST7"), B("editor1"), B(""), B(""));
  ASSERT_TRUE(edit) << Code();
  ComPtr<IDispatch> calc = store::GetCalculationObject(*cmd, B("Flow1"));
  ComPtr<IDispatch> lib = store::GetLibraryObject(*cmd, B("Lib1"));
  ASSERT_TRUE(calc && lib);

  service->heldRights = security::kRightExecute | security::kRightCalcScriptLibrary;
  EXPECT_EQ(com::PutProperty(calc.Get(), "Script", Variant::Str("evil")), com::E_ACCESSDENIED);
  EXPECT_EQ(store::SetObjectProperties(*cmd, calc.Get(), Variant::Str("Password"), Variant::I4(0)), Variant::Bool(false));
  EXPECT_EQ(Code(), security::kRefusedCalc) << "the caller learns why the put failed";
  EXPECT_EQ(store::SetObjectProperties(*cmd, calc.Get(), Variant::Str("Description"), Variant::Str("evil")),
            Variant::Bool(false));
  EXPECT_EQ(Code(), security::kRefusedCalc);
  // In an array, the refused name fails alone and the code still says why.
  com::SafeArray names(com::VT_BSTR, 0, 1), values(com::VT_VARIANT, 0, 1);
  names.At(0) = Variant::Str("Description");
  values.At(0) = Variant::Str("evil");
  Variant flags = store::SetObjectProperties(*cmd, calc.Get(), Variant::Array(std::move(names)), Variant::Array(std::move(values)));
  ASSERT_TRUE(flags.IsArray());
  EXPECT_EQ(flags.array().At(0), Variant::OfInt(com::VT_BOOL, 0));
  EXPECT_EQ(Code(), security::kRefusedCalc);
  EXPECT_EQ(Text(store::GetCalculationObject(*cmd, B("Flow1")).Get(), "Script"), "return 1");
  EXPECT_EQ(Text(calc.Get(), "Description"), "");
  EXPECT_EQ(com::PutProperty(edit.Get(), "Script", Variant::Str("draft")), com::S_OK);
  // The CalcScript-only library right is one of the library pair.
  EXPECT_EQ(com::PutProperty(lib.Get(), "Description", Variant::Str("mine")), com::S_OK);

  service->heldRights = security::kRightExecute;
  EXPECT_EQ(com::PutProperty(lib.Get(), "Description", Variant::Str("evil")), com::E_ACCESSDENIED);
  EXPECT_EQ(store::SetObjectProperties(*cmd, lib.Get(), Variant::Str("Description"), Variant::Str("evil")),
            Variant::Bool(false));
  EXPECT_EQ(Code(), security::kRefusedLibrary);
  // A put that fails for another reason is no refusal.
  EXPECT_EQ(store::SetObjectProperties(*cmd, edit.Get(), Variant::Str("NoSuch"), Variant::I4(1)), Variant::Bool(false));
  EXPECT_EQ(Code(), 0);
  EXPECT_EQ(Text(lib.Get(), "Description"), "mine");

  service->heldRights = security::kRightCalc;
  EXPECT_EQ(com::PutProperty(calc.Get(), "Script", Variant::Str("return 2")), com::S_OK);
  EXPECT_EQ(Text(calc.Get(), "Script"), "return 2");
}

}  // namespace
}  // namespace kv::testing
