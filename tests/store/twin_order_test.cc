// The calculation and library twins of the edit-copy commands check the same things in the same
// order; these cases pin which error wins when several apply.
#include "base/rights.h"
#include "store/lifecycle_fixture.h"
#include "store/object_password.h"
#include "store/store_commands.h"

namespace kv::testing {
namespace {

using TwinOrderTest = LifecycleFixture;

TEST_F(TwinOrderTest, OpeningAnEditCopy) {
  StoreCalculation("Flow1", "return 1");
  StoreLibrary("Lib1");
  struct Case {
    const char* what;
    uint32_t rights;
    const char* node;
    bool known;        // the name is stored
    bool edited;       // an edit copy is open
    bool goodPassword;
    long calcCode, libCode;
  } cases[] = {
      {"no right beats everything", 0, "", false, true, false, CMDERR_DENIED_CALC, CMDERR_DENIED_LIBRARY},
      {"blank node beats an unknown name", 0xFFFFFFFFu, "", false, false, true, CMDERR_NODE_EDITOR_REQUIRED,
       CMDERR_NODE_EDITOR_REQUIRED},
      {"unknown name", 0xFFFFFFFFu, "HOST7", false, false, false, CMDERR_INVALID_CALCULATION_NAME,
       CMDERR_INVALID_LIBRARY_NAME},
      {"being edited beats a wrong password", 0xFFFFFFFFu, "HOST7", true, true, false, CMDERR_ALREADY_BEING_EDITED,
       CMDERR_ALREADY_BEING_EDITED},
      {"wrong password", 0xFFFFFFFFu, "HOST7", true, false, false, CMDERR_INVALID_PASSWORD, CMDERR_INVALID_PASSWORD},
      {"opens", 0xFFFFFFFFu, "HOST7", true, false, true, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    service->heldRights = c.rights;
    const std::string calc = c.known ? "Flow1" : "Nope", lib = c.known ? "Lib1" : "Nope";
    const std::string password = c.goodPassword ? "" : "wrong";
    for (const char* dir : {"Calc/Edit/Flow1.zrc", "Lib/Edit/Lib1.zrc"}) fs::remove(g_BasePath + "/" + dir);
    if (c.edited) {
      std::ofstream(g_BasePath + "/Calc/Edit/Flow1.zrc") << "x";
      std::ofstream(g_BasePath + "/Lib/Edit/Lib1.zrc") << "x";
    }
    EXPECT_EQ(static_cast<bool>(store::CreateCalculationEditObject(*cmd, B(calc), B(c.node), B("ed"), B(""), B(password))),
              c.calcCode == 0);
    EXPECT_EQ(Code(), c.calcCode);
    EXPECT_EQ(static_cast<bool>(store::CreateLibraryEditObject(*cmd, B(lib), B(c.node), B("ed"), B(""), B(password))),
              c.libCode == 0);
    EXPECT_EQ(Code(), c.libCode);
  }
}

TEST_F(TwinOrderTest, SavingAndDiscardingAnEditCopy) {
  ComPtr<IDispatch> calc = StoreCalculation("Flow1", "return 1");
  ComPtr<IDispatch> lib = StoreLibrary("Lib1");
  // Nothing open: discarding reports the kind's "no edit copy" code, and an unsafe name the same.
  for (const char* name : {"Flow1", "..\\x"}) {
    EXPECT_FALSE(store::DeleteCalculationEditObject(*cmd, B(name)));
    EXPECT_EQ(Code(), CMDERR_NOT_BEING_EDITED) << name;
    EXPECT_FALSE(store::DeleteLibraryEditObject(*cmd, B(name)));
    EXPECT_EQ(Code(), CMDERR_INVALID_LIBRARY_NAME) << name;
  }
  // Saving writes the copy, discarding removes it.
  EXPECT_TRUE(store::SaveCalculationEditObject(*cmd, calc.Get()));
  EXPECT_TRUE(store::SaveLibraryEditObject(*cmd, lib.Get()));
  EXPECT_TRUE(Exists("Calc/Edit/Flow1.zrc"));
  EXPECT_TRUE(Exists("Lib/Edit/Lib1.zrc"));
  EXPECT_TRUE(store::DeleteCalculationEditObject(*cmd, B("Flow1")));
  EXPECT_TRUE(store::DeleteLibraryEditObject(*cmd, B("Lib1")));
  EXPECT_FALSE(Exists("Calc/Edit/Flow1.zrc"));
  EXPECT_FALSE(Exists("Lib/Edit/Lib1.zrc"));
  // An object without a store name.
  EXPECT_FALSE(store::SaveCalculationEditObject(*cmd, nullptr));
  EXPECT_EQ(Code(), CMDERR_VRROOT_INTERFACE);
  EXPECT_FALSE(store::SaveLibraryEditObject(*cmd, nullptr));
  EXPECT_EQ(Code(), CMDERR_VRROOT_INTERFACE);
}

}  // namespace
}  // namespace kv::testing
