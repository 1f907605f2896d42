// The lifecycle, edit-copy and folder commands reached through the dispatch objects by name,
// as clients call them: results, written-back arguments and the last error.
#include "base/rights.h"
#include "dispatch/calc_commands.h"
#include "store/lifecycle_fixture.h"

namespace kv::testing {
namespace {

class LifecycleDispatchTest : public LifecycleFixture {
 protected:
  Variant Call(ICommandObject* obj, const char* name, std::vector<Variant> args,
               std::vector<Variant>* after = nullptr) {
    com::DISPID id;
    EXPECT_EQ(obj->GetIDsOfNames(name, &id), com::S_OK) << name;
    Variant result;
    EXPECT_EQ(obj->Invoke(id, com::DISPATCH_METHOD, args, &result), com::S_OK) << name;
    if (after) *after = args;
    return result;
  }
  long LastError(ICommandObject* obj, std::string* text = nullptr) {
    std::vector<Variant> after;
    Variant r = Call(obj, "GetLastCommandError", {Variant::I4(0)}, &after);
    if (text) *text = r.bstr().ToUtf8();
    return after[0].i4();
  }
  static std::vector<std::string> Texts(const std::vector<Variant>& args, size_t from) {
    std::vector<std::string> out;
    for (size_t i = from; i < args.size(); ++i) out.push_back(args[i].bstr().ToUtf8());
    return out;
  }
};

TEST_F(LifecycleDispatchTest, EditWorkflowOfACalculation) {
  auto obj = com::MakeCom<ZrCalcCommands>();
  Variant calc = Call(obj.Get(), "CreateCalculationObject",
                      {Variant::Str("Flow1"), Variant::Str("HOST7"), Variant::Str("editor1")});
  ASSERT_EQ(calc.vt(), com::VT_DISPATCH);
  ASSERT_TRUE(calc.unknown());
  EXPECT_EQ(Call(obj.Get(), "SetObjectProperties", {calc, Variant::Str("Script"), Variant::Str("return 1")}),
            Variant::Bool(true));
  std::vector<Variant> after;
  Call(obj.Get(), "GetObjectProperties", {calc, Variant::Str("Script"), Variant()}, &after);
  EXPECT_EQ(after[2], Variant::Str("return 1"));
  EXPECT_EQ(Call(obj.Get(), "SaveCalculationObject", {calc}), Variant::Bool(true));

  Variant copy = Call(
      obj.Get(), "CreateCalculationEditObject",
      {Variant::Str("Flow1"), Variant::Str("HOST7"), Variant::Str("editor1"), Variant::Str("op"), Variant::Str("")});
  ASSERT_TRUE(copy.unknown());
  EXPECT_EQ(Call(obj.Get(), "GetEditOwner", {copy, Variant::Str("n"), Variant::Str("e"), Variant::Str("d")}, &after),
            Variant::Bool(true));
  EXPECT_EQ(Texts(after, 1), (std::vector<std::string>{"HOST7", "editor1", "Wednesday, December 10, 2025 00:00:00"}));
  // The stored object has no owner: the arguments come back as they went.
  EXPECT_EQ(Call(obj.Get(), "GetCalculationEditOwner",
                 {Variant::Str("Flow1"), Variant::Str("n"), Variant::Str("e"), Variant::Str("d")}, &after),
            Variant::Bool(true));
  EXPECT_EQ(Texts(after, 1), (std::vector<std::string>{"n", "e", "d"}));

  Variant other = Call(obj.Get(), "GetCalculationEditObject",
                       {Variant::Str("Flow1"), Variant::Str("HOST7"), Variant::Str("editor2")});
  EXPECT_EQ(other.vt(), com::VT_DISPATCH);
  EXPECT_FALSE(other.unknown());
  EXPECT_EQ(LastError(obj.Get()), CMDERR_EDITED_BY_OTHER_USER);
  EXPECT_TRUE(Call(obj.Get(), "GetCalculationEditObject",
                   {Variant::Str("Flow1"), Variant::Str("HOST7"), Variant::Str("editor1")})
                  .unknown());

  EXPECT_EQ(Call(obj.Get(), "DeleteCalculationObject", {Variant::Str("Flow1"), Variant::Str("op"), Variant::Str("")}),
            Variant::Bool(false));
  std::string text;
  EXPECT_EQ(LastError(obj.Get(), &text), CMDERR_CURRENTLY_EDITED);
  EXPECT_EQ(text, "The Object is currently beiing edited.");

  // The fixed answers leave that error readable.
  EXPECT_EQ(Call(obj.Get(), "AttachLibrary", {copy, Variant::Str("Lib1")}), Variant::Bool(true));
  EXPECT_EQ(Call(obj.Get(), "LibraryReload", {Variant::Str("Lib1")}), Variant::Bool(false));
  EXPECT_EQ(Call(obj.Get(), "InstallPromotedObjectAs", {Variant::Str("Flow1"), Variant::Str("Flow9")}),
            Variant::Bool(false));
  EXPECT_EQ(Call(obj.Get(), "CopyLibraryFormula",
                 {copy, Variant::Str("F"), Variant::Str("L"), Variant::Str("G"), Variant::Str(""), Variant::Str("")}),
            Variant::Bool(false));
  EXPECT_TRUE(Call(obj.Get(), "FormulaLookup", {Variant::Str("F")}).IsEmpty());
  EXPECT_EQ(LastError(obj.Get(), &text), CMDERR_CURRENTLY_EDITED);
  EXPECT_EQ(text, "The Object is currently beiing edited.");

  EXPECT_EQ(Call(obj.Get(), "CancelEdit", {copy}), Variant::Bool(true));
  EXPECT_EQ(Call(obj.Get(), "DeleteCalculationObject", {Variant::Str("Flow1"), Variant::Str("op"), Variant::Str("")}),
            Variant::Bool(true));
  EXPECT_EQ(LastError(obj.Get()), 0);
  EXPECT_FALSE(Exists("Calc/Flow1.zrc"));
}

TEST_F(LifecycleDispatchTest, FoldersAndTheApplicationObject) {
  auto obj = com::MakeCom<ZrCalcCommands>();
  EXPECT_EQ(Call(obj.Get(), "CreateCalcFolder", {Variant::Str("Area3")}), Variant::Bool(true));
  EXPECT_EQ(Call(obj.Get(), "CreateCalcFolder", {Variant::Str("Area3")}), Variant::Bool(false));
  std::string text;
  EXPECT_EQ(LastError(obj.Get(), &text), CMDERR_CATCH_ALL);
  EXPECT_EQ(text, "Folder already exists.");
  EXPECT_EQ(Call(obj.Get(), "RenameCalcFolder", {Variant::Str("Area3"), Variant::Str("Area4")}), Variant::Bool(true));
  EXPECT_EQ(Call(obj.Get(), "DeleteCalcFolder", {Variant::Str("Area4")}), Variant::Bool(true));

  fs::create_directories(g_BasePath + "/Apps/Line2");
  auto app = com::MakeCom<ZrCalcAppCommands>();
  ASSERT_EQ(Call(app.Get(), "SetBaseDirectory", {Variant::Str("Line2")}), Variant::Bool(true));
  // An application object with its directory is not checked in its own store ...
  service->heldRights = 0;
  service->checks.clear();
  EXPECT_EQ(Call(app.Get(), "CreateCalcFolder", {Variant::Str("Area5")}), Variant::Bool(true));
  EXPECT_TRUE(Exists("Apps/Line2/Calc/Area5"));
  EXPECT_TRUE(service->checks.empty());
  // ... but the library store is everyone's.
  EXPECT_FALSE(
      Call(app.Get(), "CreateLibraryObject", {Variant::Str("Lib1"), Variant::Str("N"), Variant::Str("E")}).unknown());
  EXPECT_EQ(LastError(app.Get()), CMDERR_DENIED_LIBRARY);
  EXPECT_TRUE(Entries("Lib/Edit").empty());
  service->heldRights = security::kRightLibrary;
  Variant lib = Call(app.Get(), "CreateLibraryObject", {Variant::Str("Lib1"), Variant::Str("N"), Variant::Str("E")});
  ASSERT_TRUE(lib.unknown());
  EXPECT_TRUE(Exists("Lib/Edit/Lib1.zrc"));  // libraries always live under the root
  std::vector<Variant> after;
  EXPECT_EQ(Call(app.Get(), "GetEditOwner", {lib, Variant::Str(""), Variant::Str(""), Variant::Str("")}, &after),
            Variant::Bool(true));
  EXPECT_EQ(Texts(after, 1)[0], "N");
  EXPECT_EQ(Call(app.Get(), "SaveLibraryObject", {lib}), Variant::Bool(true));
  EXPECT_EQ(Call(app.Get(), "GetLibraryEditOwner",
                 {Variant::Str("Lib1"), Variant::Str("n"), Variant::Str("e"), Variant::Str("d")}, &after),
            Variant::Bool(true));
  EXPECT_EQ(Texts(after, 1), (std::vector<std::string>{"n", "e", "d"}));
  EXPECT_EQ(Call(app.Get(), "DeleteLibraryObject", {Variant::Str("Lib1"), Variant::Str(""), Variant::Str("")}),
            Variant::Bool(true));
  EXPECT_FALSE(Exists("Lib/Recycle"));  // deleted for good
  // Only the library rights were asked about.
  for (const auto& check : service->checks)
    EXPECT_TRUE(check.right == security::kRightLibrary || check.right == security::kRightCalcScriptLibrary)
        << check.right;
}

}  // namespace
}  // namespace kv::testing
