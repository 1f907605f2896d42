// The units table is one object every client reaches (GetUnitConversionObject, GetMeasurementType,
// GetUnit): through IDispatch its readers may look, but only a caller holding the units right may
// change it, whichever of its objects the change goes through, including those added later and
// those of a table loaded from its file.
#include <gtest/gtest.h>

#include <functional>

#include "base/error_codes.h"
#include "command_object/calc_cmd_base.h"
#include "units/units_table.h"
#include "units_test_util.h"
#include "store/store_commands.h"
#include "units/units_commands.h"

namespace kv::units::testing {
namespace {

using com::Variant;

Bstr B(const char* s) { return Bstr::FromUtf8(s); }

HRESULT Call(IDispatch* obj, const char* name, std::vector<Variant> args, Variant* result = nullptr) {
  Variant ignored;
  return com::CallMethod(obj, name, args, result ? result : &ignored);
}

ComPtr<IDispatch> Property(IDispatch* obj, const char* name) {
  Variant v;
  if (com::FAILED(com::GetProperty(obj, name, &v)) || v.vt() != com::VT_DISPATCH) return nullptr;
  return v.dispatch();
}

class SharedUnitsTest : public UnitsFixture {
 protected:
  void SetUp() override {
    UnitsFixture::SetUp();
    GetUnitConversionObject();
    ASSERT_TRUE(g_pUnitConversionObject);
  }

  // Every change a client can make through the objects the getters hand out, each undone by
  // nothing: run once refused, once allowed.
  struct Change {
    const char* what;
    std::function<HRESULT()> run;
  };
  std::vector<Change> Changes() {
    ComPtr<IDispatch> table = units::GetUnitConversionObject(cmd_);
    ComPtr<IDispatch> type = units::GetMeasurementType(cmd_, B("Distance"));
    ComPtr<IDispatch> unit = units::GetUnit(cmd_, B("Distance"), B("km"));
    ComPtr<IDispatch> units = type ? Property(type.Get(), "Units") : nullptr;
    EXPECT_TRUE(table && type && unit && units);
    ComPtr<IDispatch> spareType = units::GetMeasurementType(cmd_, B("Magnetism"));
    return {
        {"unit Multiplier put", [=] { return com::PutProperty(unit.Get(), "Multiplier", Variant::R8(2)); }},
        {"unit Description put", [=] { return com::PutProperty(unit.Get(), "Description", Variant::Str("x")); }},
        {"type StandardUnits put", [=] { return com::PutProperty(type.Get(), "StandardUnits", Variant::Str("km")); }},
        {"type CreateUnit", [=] { return Call(type.Get(), "CreateUnit", {Variant::Str("furlong")}); }},
        {"units Remove", [=] { return Call(units.Get(), "Remove", {Variant::Str("mm")}); }},
        {"units Add", [=] { return Call(units.Get(), "Add", {Variant::Str("x"), Variant::Dispatch(spareType)}); }},
        {"table Remove", [=] { return Call(table.Get(), "Remove", {Variant::Str("Speed")}); }},
    };
  }

  ZrCalcCmdObject cmd_;
};

TEST_F(SharedUnitsTest, ChangesThroughItsObjectsNeedTheUnitsRight) {
  const std::vector<Change> changes = Changes();
  service->heldRights = security::kRightCalc | security::kRightLibrary | security::kRightSchedule;
  for (const Change& c : changes) EXPECT_EQ(c.run(), com::E_ACCESSDENIED) << c.what;

  // Nothing changed, and reads stay open.
  double multiplier = 0, offset = 0;
  ASSERT_TRUE(units::GetConversion(cmd_, B("Distance"), B("km"), B("m"), &multiplier, &offset));
  EXPECT_DOUBLE_EQ(multiplier, 0.001);
  ComPtr<IDispatch> type = units::GetMeasurementType(cmd_, B("Distance"));
  Variant v;
  EXPECT_EQ(com::GetProperty(units::GetUnit(cmd_, B("Distance"), B("km")).Get(), "Multiplier", &v), com::S_OK);
  EXPECT_EQ(v, Variant::R8(1000));
  EXPECT_EQ(Call(type.Get(), "Unit", {Variant::Str("mm")}, &v), com::S_OK);
  EXPECT_EQ(v.vt(), com::VT_DISPATCH);
  EXPECT_TRUE(v.dispatch()) << "mm is still there";
  EXPECT_EQ(Call(type.Get(), "Unit", {Variant::Str("furlong")}, &v), com::S_FALSE) << "furlong was not created";
  EXPECT_FALSE(v.dispatch());
  EXPECT_TRUE(units::GetMeasurementType(cmd_, B("Speed")));
  EXPECT_FALSE(std::filesystem::exists(ConversionsFile()));

  // SetObjectProperties says why it failed.
  ComPtr<IDispatch> unit = units::GetUnit(cmd_, B("Distance"), B("km"));
  EXPECT_EQ(store::SetObjectProperties(cmd_, unit.Get(), Variant::Str("Offset"), Variant::R8(5)), Variant::Bool(false));
  EXPECT_EQ(cmd_.m_lastError, CMDERR_DENIED_UNITS);

  service->heldRights = security::kRightUnits;
  for (const Change& c : changes) EXPECT_TRUE(com::SUCCEEDED(c.run())) << c.what;
  EXPECT_FALSE(units::GetMeasurementType(cmd_, B("Speed")));
}

// Objects that join the table later, or come from its file, are as shared as the first ones.
TEST_F(SharedUnitsTest, ObjectsAddedLaterAndLoadedFromTheFileAreGuardedToo) {
  ASSERT_TRUE(units::AddMeasurementType(cmd_, B("Flow"), B("Flow"), B("l/s")));
  ASSERT_TRUE(units::AddUnit(cmd_, B("Flow"), B("l/s"), B("Litre per second"), 1, 0));
  ComPtr<IDispatch> distance = units::GetMeasurementType(cmd_, B("Distance"));
  Variant created;
  ASSERT_EQ(Call(distance.Get(), "CreateUnit", {Variant::Str("furlong")}, &created), com::S_OK);
  ASSERT_TRUE(created.dispatch());

  service->heldRights = 0;
  EXPECT_EQ(com::PutProperty(units::GetUnit(cmd_, B("Flow"), B("l/s")).Get(), "Multiplier", Variant::R8(9)),
            com::E_ACCESSDENIED);
  EXPECT_EQ(com::PutProperty(units::GetMeasurementType(cmd_, B("Flow")).Get(), "Description", Variant::Str("x")),
            com::E_ACCESSDENIED);
  EXPECT_EQ(com::PutProperty(created.dispatch().Get(), "Multiplier", Variant::R8(201)), com::E_ACCESSDENIED);

  // Reloaded at start-up from the file the commands wrote.
  ASSERT_TRUE(std::filesystem::exists(ConversionsFile()));
  g_pUnitConversionObject = nullptr;
  GetUnitConversionObject();
  ComPtr<IDispatch> unit = units::GetUnit(cmd_, B("Flow"), B("l/s"));
  ASSERT_TRUE(unit) << "loaded from the file";
  EXPECT_EQ(com::PutProperty(unit.Get(), "Multiplier", Variant::R8(9)), com::E_ACCESSDENIED);
  EXPECT_EQ(Call(units::GetUnitConversionObject(cmd_).Get(), "Remove", {Variant::Str("Flow")}), com::E_ACCESSDENIED);
}

}  // namespace
}  // namespace kv::units::testing
