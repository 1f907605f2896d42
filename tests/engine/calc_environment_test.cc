#include <latch>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/calc_environment.h"
#include "engine/calculation.h"
#include "engine/library.h"
#include "engine_test_util.h"

namespace kv::engine {
namespace {

using com::Bstr;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing::ErrorCapture;
using testing::ScratchDir;

Bstr B(std::string_view s) { return Bstr::FromUtf8(s); }

std::string ScriptOf(const ComPtr<IDispatch>& obj) {
  com::Variant v;
  return SUCCEEDED(com::GetProperty(obj.Get(), "Script", &v)) ? v.bstr().ToUtf8() : "<none>";
}

class CalcEnvironmentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.Path().empty());
    for (const char* sub : {"Calc\\Area3", "Lib", "Apps\\App1\\Calc"}) dir_.MakeDir(sub);
    env_->SetBasePath(B(dir_.Path()));
  }

  // Stores a calculation whose script tells where it came from.
  void StoreCalc(std::string_view rel, std::string_view name, std::string_view script) {
    auto calc = com::MakeCom<ZrCalculation>();
    calc->SetName(B(name));
    calc->SetScript(std::string(script));
    ASSERT_EQ(calc->SaveFile(dir_.W(rel)), com::S_OK);
  }
  void StoreLibrary(std::string_view name, std::vector<std::string> formulas) {
    auto lib = com::MakeCom<ZrLibrary>();
    lib->SetName(B(name));
    for (const auto& f : formulas) lib->NewFormula(f);
    ASSERT_EQ(lib->SaveFile(dir_.W("Lib\\" + std::string(name) + ".zrc")), com::S_OK);
  }
  ComPtr<IDispatch> Calc(std::string_view name, const Bstr& dir = Bstr()) {
    ComPtr<IDispatch> out;
    EXPECT_EQ(env_->GetCalculation(B(name), dir, &out), com::S_OK) << name;
    return out;
  }
  std::vector<std::string> FormulasOf(const ComPtr<IDispatch>& lib) {
    com::Variant list;
    com::QueryInterface<components::IZrLibrary>(lib)->ListFormulas(&list);
    std::vector<std::string> names;
    com::VariantToStringList(list, &names);
    return names;
  }

  testing::ScopedServerObjects objects_;
  ScratchDir dir_;
  ErrorCapture errors_;
  ComPtr<ZrCalcEnvironment> env_ = com::MakeCom<ZrCalcEnvironment>();
};

TEST_F(CalcEnvironmentTest, HoldsACalculationUntilItIsRemoved) {
  StoreCalc("Calc\\Flow1.zrc", "Flow1", "v1");
  ComPtr<IDispatch> first = Calc("Flow1");
  ASSERT_TRUE(first);
  EXPECT_EQ(Calc("Flow1"), first);

  StoreCalc("Calc\\Flow1.zrc", "Flow1", "v2");
  EXPECT_EQ(ScriptOf(Calc("Flow1")), "v1");  // the held object, not the new file

  env_->RemoveCalculation(B("Flow1"));
  ComPtr<IDispatch> reloaded = Calc("Flow1");
  EXPECT_NE(reloaded, first);
  EXPECT_EQ(ScriptOf(reloaded), "v2");
  EXPECT_EQ(ScriptOf(first), "v1");  // handed-out objects stay valid
  EXPECT_THAT(errors_.Lines(), IsEmpty());
}

TEST_F(CalcEnvironmentTest, MissingAndDamagedFilesGiveNoObject) {
  dir_.Write("Calc\\Bad.zrc", "<Calculation version=\"1\"><Name>Bad");
  StoreCalc("Calc\\Good.zrc", "Good", "");
  struct Case {
    const char* name;
    size_t linesAfter;
  } cases[] = {{"Nothing", 0}, {"Bad", 1}, {"Bad", 2}, {"", 2}, {"Area3\\Nothing", 2}};
  for (const Case& c : cases) {
    ComPtr<IDispatch> out = Calc("Good");  // a failed request must reset it
    EXPECT_EQ(env_->GetCalculation(B(c.name), Bstr(), &out), com::S_FALSE) << c.name;
    EXPECT_FALSE(out) << c.name;
    EXPECT_EQ(errors_.Lines().size(), c.linesAfter) << c.name;
  }
  ASSERT_FALSE(errors_.Lines().empty());
  EXPECT_THAT(errors_.Lines()[0], HasSubstr("Bad.zrc"));

  // Once repaired, the next request loads it.
  StoreCalc("Calc\\Bad.zrc", "Bad", "fixed");
  EXPECT_EQ(ScriptOf(Calc("Bad")), "fixed");
}

TEST_F(CalcEnvironmentTest, FolderNamesAndApplicationDirectoriesAreSeparateObjects) {
  const std::string appDir = dir_.W("Apps\\App1");
  dir_.MakeDir("Apps\\App1\\Calc\\Area3");
  StoreCalc("Calc\\Flow1.zrc", "Flow1", "root");
  StoreCalc("Calc\\Area3\\Flow1.zrc", "Area3\\Flow1", "root folder");
  StoreCalc("Apps\\App1\\Calc\\Flow1.zrc", "Flow1", "app");
  StoreCalc("Apps\\App1\\Calc\\Area3\\Flow1.zrc", "Area3\\Flow1", "app folder");

  struct Case {
    const char* name;
    Bstr dir;
    const char* script;
  } cases[] = {
      {"Flow1", Bstr(), "root"},
      {"Flow1", B(""), "root"},
      {"Flow1", B(dir_.Path()), "root"},
      {"Flow1", B(dir_.Path() + "\\"), "root"},
      {"Area3\\Flow1", Bstr(), "root folder"},
      {"Flow1", B(appDir), "app"},
      {"Area3\\Flow1", B(appDir), "app folder"},
  };
  std::vector<ComPtr<IDispatch>> objects;
  for (const Case& c : cases) {
    objects.push_back(Calc(c.name, c.dir));
    EXPECT_EQ(ScriptOf(objects.back()), c.script) << c.name << " in " << c.dir.ToUtf8();
  }
  // The root given as null, empty or by its path (with or without a trailing separator) is one key.
  EXPECT_EQ(objects[0], objects[1]);
  EXPECT_EQ(objects[0], objects[2]);
  EXPECT_EQ(objects[0], objects[3]);
  EXPECT_NE(objects[0], objects[5]);

  // Removing a name drops it in every directory, but not other names.
  env_->RemoveCalculation(B("Flow1"));
  EXPECT_NE(Calc("Flow1"), objects[0]);
  EXPECT_NE(Calc("Flow1", B(appDir)), objects[5]);
  EXPECT_EQ(Calc("Area3\\Flow1"), objects[4]);
}

TEST_F(CalcEnvironmentTest, LibrariesAreHeldAndReloadedAfterAFormulaSave) {
  StoreLibrary("Lib1", {"F1"});
  ComPtr<IDispatch> lib;
  ASSERT_EQ(env_->GetLibrary(B("Lib1"), &lib), com::S_OK);
  ComPtr<IDispatch> again;
  env_->GetLibrary(B("Lib1"), &again);
  EXPECT_EQ(again, lib);

  StoreLibrary("Lib1", {"F1", "F2"});
  env_->GetLibrary(B("Lib1"), &again);
  EXPECT_THAT(FormulasOf(again), ::testing::ElementsAre("F1"));
  env_->LibraryFormulaSaved(B("Lib1"), B("F2"));
  env_->GetLibrary(B("Lib1"), &again);
  EXPECT_NE(again, lib);
  EXPECT_THAT(FormulasOf(again), ::testing::ElementsAre("F1", "F2"));

  StoreLibrary("Lib1", {});
  env_->RemoveLibrary(B("Lib1"));
  env_->GetLibrary(B("Lib1"), &again);
  EXPECT_THAT(FormulasOf(again), IsEmpty());

  EXPECT_EQ(env_->GetLibrary(B("NoLib"), &again), com::S_FALSE);
  EXPECT_FALSE(again);
  // A calculation file is not a library.
  StoreCalc("Lib\\Calc1.zrc", "Calc1", "");
  EXPECT_EQ(env_->GetLibrary(B("Calc1"), &again), com::S_FALSE);
  EXPECT_EQ(errors_.Lines().size(), 1u);
}

TEST_F(CalcEnvironmentTest, LoadFileGivesANewObjectThatIsNotHeld) {
  StoreCalc("Calc\\Flow1.zrc", "Flow1", "stored");
  StoreCalc("Calc\\Edit.zrc", "", "edit");
  ComPtr<IDispatch> held = Calc("Flow1");

  ComPtr<IDispatch> a, b;
  ASSERT_EQ(env_->LoadCalculationFile(B(dir_.W("Calc\\Flow1.zrc")), B("Flow1"), &a), com::S_OK);
  ASSERT_EQ(env_->LoadCalculationFile(B(dir_.W("Calc\\Flow1.zrc")), B("Flow1"), &b), com::S_OK);
  EXPECT_NE(a, held);
  EXPECT_NE(a, b);
  EXPECT_EQ(Calc("Flow1"), held);

  // A file without a name takes the one given.
  ASSERT_EQ(env_->LoadCalculationFile(B(dir_.W("Calc\\Edit.zrc")), B("Area3\\Flow9"), &a), com::S_OK);
  com::Bstr name;
  com::QueryInterface<components::VRRoot>(a)->GetName(&name);
  EXPECT_EQ(name.ToUtf8(), "Area3\\Flow9");

  dir_.Write("Calc\\Junk.zrc", "junk");
  struct Case {
    const char* rel;
    bool library;
  } failures[] = {{"Calc\\None.zrc", false}, {"Calc\\Junk.zrc", false}, {"Calc\\Flow1.zrc", true}};
  for (const Case& c : failures) {
    ComPtr<IDispatch> out = held;
    HRESULT hr = c.library ? env_->LoadLibraryFile(B(dir_.W(c.rel)), B("x"), &out)
                           : env_->LoadCalculationFile(B(dir_.W(c.rel)), B("x"), &out);
    EXPECT_TRUE(com::FAILED(hr)) << c.rel;
    EXPECT_FALSE(out) << c.rel;
  }
  EXPECT_EQ(errors_.Lines().size(), 2u);  // the junk and the calculation read as a library
}

TEST_F(CalcEnvironmentTest, WithoutARootOnlyExplicitDirectoriesResolve) {
  StoreCalc("Calc\\Flow1.zrc", "Flow1", "root");
  auto fresh = com::MakeCom<ZrCalcEnvironment>();
  ComPtr<IDispatch> out;
  EXPECT_EQ(fresh->GetCalculation(B("Flow1"), Bstr(), &out), com::S_FALSE);
  EXPECT_EQ(fresh->GetCalculation(B("Flow1"), B(dir_.Path()), &out), com::S_OK);
  EXPECT_EQ(fresh->GetLibrary(B("Lib1"), &out), com::S_FALSE);
}

TEST_F(CalcEnvironmentTest, ConcurrentRequestsShareOneObjectPerName) {
  const char* names[] = {"A", "B", "Area3\\C"};
  // Large files widen the window in which the threads load the same name at once.
  for (const char* n : names) StoreCalc(std::string("Calc\\") + n + ".zrc", n, std::string(1 << 20, 'x'));

  constexpr int kThreads = 8;
  constexpr int kRounds = 20;
  std::vector<std::vector<ComPtr<IDispatch>>> seen(kThreads);
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int r = 0; r < kRounds; ++r) {
        const char* n = names[r % std::size(names)];
        ComPtr<IDispatch> out;
        env_->GetCalculation(B(n), Bstr(), &out);
        seen[t].push_back(out);
      }
    });
  }
  for (auto& th : threads) th.join();

  for (int t = 0; t < kThreads; ++t) {
    for (int r = 0; r < kRounds; ++r) {
      const char* n = names[r % std::size(names)];
      EXPECT_EQ(seen[t][r], Calc(n)) << n;
    }
  }
  EXPECT_NE(Calc("A"), Calc("B"));
}

}  // namespace
}  // namespace kv::engine

namespace kv::engine {
namespace {

// The objects held for the main store and the libraries are handed to every client: a caller
// that may not change them cannot put their properties. Objects of an application store and
// objects loaded from a file (edit copies) are not shared and stay writable.
TEST_F(CalcEnvironmentTest, SharedObjectsRefusePutsToACallerWithoutTheRight) {
  StoreCalc("Calc\\Flow1.zrc", "Flow1", "main");
  StoreCalc("Apps\\App1\\Calc\\Flow1.zrc", "Flow1", "app");
  StoreLibrary("Lib1", {"F1"});
  ComPtr<IDispatch> lib;
  ASSERT_EQ(env_->GetLibrary(B("Lib1"), &lib), com::S_OK);
  ComPtr<IDispatch> copy;
  ASSERT_EQ(env_->LoadCalculationFile(B(dir_.W("Calc\\Flow1.zrc")), B("Flow1"), &copy), com::S_OK);
  objects_.callerMayChange = false;

  const struct {
    const char* name;
    ComPtr<IDispatch> object;
    const char* property;
    com::HRESULT put;
    std::vector<components::SharedObject> asked;
  } cases[] = {
      {"main store", Calc("Flow1"), "Script", com::E_ACCESSDENIED, {components::SharedObject::Calculation}},
      {"main store, by explicit root", Calc("Flow1", B(dir_.Path())), "Description", com::E_ACCESSDENIED,
       {components::SharedObject::Calculation}},
      {"library", lib, "Description", com::E_ACCESSDENIED, {components::SharedObject::Library}},
      {"application store", Calc("Flow1", B(dir_.W("Apps\\App1"))), "Script", com::S_OK, {}},
      {"loaded from a file", copy, "Script", com::S_OK, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(c.object);
    com::Variant before, after;
    ASSERT_EQ(com::GetProperty(c.object.Get(), c.property, &before), com::S_OK);
    objects_.asked.clear();
    EXPECT_EQ(com::PutProperty(c.object.Get(), c.property, com::Variant::Str("changed")), c.put);
    EXPECT_EQ(objects_.asked, c.asked);
    ASSERT_EQ(com::GetProperty(c.object.Get(), c.property, &after), com::S_OK);
    if (c.put == com::S_OK) {
      EXPECT_EQ(after.bstr().ToUtf8(), "changed");
    } else {
      EXPECT_EQ(after.bstr().ToUtf8(), before.bstr().ToUtf8());
    }
  }

  // With the right the held object takes the put.
  objects_.callerMayChange = true;
  EXPECT_EQ(com::PutProperty(Calc("Flow1").Get(), "Script", com::Variant::Str("v2")), com::S_OK);
  EXPECT_EQ(ScriptOf(Calc("Flow1")), "v2");
}

// What a shared object holds is shared with it: a held calculation's parameters, a held
// library's formulas and their parameters, those added after it was handed out included.
TEST_F(CalcEnvironmentTest, WhatASharedObjectHoldsIsGuardedWithIt) {
  auto stored = com::MakeCom<ZrCalculation>();
  stored->SetName(B("Flow1"));
  ASSERT_TRUE(stored->AddParameter("Inlet", com::Variant::R8(1)));
  ASSERT_EQ(stored->SaveFile(dir_.W("Calc\\Flow1.zrc")), com::S_OK);
  StoreLibrary("Lib1", {"F1"});
  auto calc = com::QueryInterface<ZrCalculation>(Calc("Flow1"));
  ComPtr<IDispatch> libDisp;
  ASSERT_EQ(env_->GetLibrary(B("Lib1"), &libDisp), com::S_OK);
  auto lib = com::QueryInterface<ZrLibrary>(libDisp);
  ASSERT_TRUE(calc && lib);
  ASSERT_TRUE(calc->AddParameter("Later", com::Variant::R8(2)));
  ComPtr<ZrCalculation> formula = lib->FindFormula("F1");
  ASSERT_TRUE(formula);
  ASSERT_TRUE(formula->AddParameter("p", com::Variant::R8(3)));
  ComPtr<ZrCalculation> laterFormula = lib->NewFormula("F2");
  ASSERT_TRUE(laterFormula);

  const struct {
    const char* name;
    ComPtr<IDispatch> object;
    const char* property;
  } cases[] = {
      {"a held calculation's parameter", calc->Parameters()->Find("Inlet"), "Value"},
      {"a parameter added later", calc->Parameters()->Find("Later"), "Value"},
      {"a held library's formula", formula, "Script"},
      {"a formula added later", laterFormula, "Script"},
      {"a formula's parameter", formula->Parameters()->Find("p"), "Value"},
  };
  for (bool allowed : {false, true}) {
    objects_.callerMayChange = allowed;
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      ASSERT_TRUE(c.object);
      EXPECT_EQ(com::PutProperty(c.object.Get(), c.property, com::Variant::Str("9")),
                allowed ? com::S_OK : com::E_ACCESSDENIED);
    }
  }
}

}  // namespace
}  // namespace kv::engine
