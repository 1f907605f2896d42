// The units commands: conversions, changes with their codes and permission, the lookups, and a
// few of them through the dispatch wrapper.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <limits>

#include "command_object/calc_cmd_base.h"
#include "dispatch/calc_commands.h"
#include "base/error_codes.h"
#include "units/units_table.h"
#include "units_test_util.h"
#include "units/units_commands.h"

namespace kv::units::testing {
namespace {

using ::testing::ElementsAre;

Bstr B(const char* s) { return Bstr::FromUtf8(s); }

class UnitsCommandsTest : public UnitsFixture {
 protected:
  void SetUp() override {
    UnitsFixture::SetUp();
    GetUnitConversionObject();
  }
  bool FileWritten() const { return std::filesystem::exists(ConversionsFile()); }

  ZrCalcCmdObject cmd_;
};

TEST_F(UnitsCommandsTest, Conversions) {
  struct Case {
    const char *type, *in, *out;
    bool ok;
    long error;
    double multiplier, offset;
  } cases[] = {
      {"Temperature", "F", "C", true, 0, 1.8, 32},
      {"Temperature", "C", "K", true, 0, 1, -273.15},
      {"Temperature", "C", "C", true, 0, 1, 0},
      {"Distance", "km", "m", true, 0, 0.001, 0},
      {"Temperature", "R", "C", false, CMDERR_INVALID_INPUT_UNITS, 1, 0},
      {"Temperature", "C", "R", false, CMDERR_INVALID_OUTPUT_UNITS, 1, 0},
      {"Temperature", "R", "Q", false, CMDERR_INVALID_OUTPUT_UNITS, 1, 0},
      {"Temperature", "km", "C", false, CMDERR_INVALID_INPUT_UNITS, 1, 0},
      {"Colour", "F", "C", false, CMDERR_INVALID_MEASUREMENT_TYPE, 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.type << " " << c.in << " -> " << c.out);
    double multiplier = 7, offset = 7;
    EXPECT_EQ(units::GetConversion(cmd_, B(c.type), B(c.in), B(c.out), &multiplier, &offset), c.ok);
    EXPECT_EQ(cmd_.m_lastError, c.error);
    EXPECT_NEAR(multiplier, c.multiplier, 1e-12);
    EXPECT_NEAR(offset, c.offset, 1e-12);
  }
  // A value in the output units times the multiplier plus the offset is the input value.
  double multiplier = 0, offset = 0;
  ASSERT_TRUE(units::GetConversion(cmd_, B("Temperature"), B("F"), B("C"), &multiplier, &offset));
  EXPECT_NEAR(100 * multiplier + offset, 212, 1e-9);
  EXPECT_EQ(UnitsLock().Holder(), kSiteUnitsCommand);
  EXPECT_EQ(UnitsLock().LockCount(), 0);
}

TEST_F(UnitsCommandsTest, WithoutATableEveryCommandReports165) {
  g_pUnitConversionObject = nullptr;
  double multiplier = 7, offset = 7;
  EXPECT_FALSE(units::GetConversion(cmd_, B("Temperature"), B("F"), B("C"), &multiplier, &offset));
  EXPECT_EQ(cmd_.m_lastError, CMDERR_UNIT_CONVERSION_NOT_FOUND);
  EXPECT_EQ(multiplier, 7);  // untouched
  EXPECT_EQ(offset, 7);
  const std::function<void()> commands[] = {
      [&] { units::AddMeasurementType(cmd_, B("Flow"), B("Flow"), B("l/s")); },
      [&] { units::AddUnit(cmd_, B("Distance"), B("furlong"), B(""), 201.168, 0); },
      [&] { units::DeleteMeasurementType(cmd_, B("Volume"), true); },
      [&] { units::DeleteUnit(cmd_, B("Distance"), B("m")); },
      [&] { units::UpdateMeasurementTypeInfo(cmd_, B("Distance"), nullptr, nullptr); },
      [&] { units::UpdateUnitInfo(cmd_, B("Distance"), B("m"), nullptr, 1, 0); },
      [&] { units::GetMeasurementType(cmd_, B("Distance")); },
      [&] {
        Bstr d, s;
        units::GetMeasurementTypeInfo(cmd_, B("Distance"), &d, &s);
      },
      [&] {
        Variant v;
        units::GetMeasurementTypesList(cmd_, &v);
        EXPECT_TRUE(v.IsEmpty());
      },
      [&] { units::GetUnit(cmd_, B("Distance"), B("m")); },
      [&] {
        Bstr d;
        units::GetUnitInfo(cmd_, B("Distance"), B("m"), &d, nullptr, nullptr);
      },
      [&] {
        Variant v;
        units::GetUnitsList(cmd_, B("Distance"), &v);
      },
      [&] {
        Variant v;
        units::LookupMeasurementType(cmd_, B("m"), &v);
      },
      [&] { EXPECT_FALSE(units::GetUnitConversionObject(cmd_)); },
  };
  for (size_t i = 0; i < std::size(commands); ++i) {
    SCOPED_TRACE(i);
    cmd_.SetCommandError(CMDERR_INVALID_PASSWORD);
    commands[i]();
    EXPECT_EQ(cmd_.m_lastError, CMDERR_UNIT_CONVERSION_NOT_FOUND);
  }
}

TEST_F(UnitsCommandsTest, ChangesNeedTheUnitsRight) {
  const std::function<bool()> changes[] = {
      [&] { return units::AddMeasurementType(cmd_, B("Flow"), B("Flow"), B("l/s")); },
      [&] { return units::AddUnit(cmd_, B("Distance"), B("furlong"), B(""), 201.168, 0); },
      [&] { return units::DeleteMeasurementType(cmd_, B("Volume"), true); },
      [&] { return units::DeleteUnit(cmd_, B("Distance"), B("m")); },
      [&] { return units::UpdateMeasurementTypeInfo(cmd_, B("Distance"), nullptr, nullptr); },
      [&] { return units::UpdateUnitInfo(cmd_, B("Distance"), B("m"), nullptr, 1, 0); },
  };
  service->heldRights = security::kRightSchedule;
  for (size_t i = 0; i < std::size(changes); ++i) {
    SCOPED_TRACE(i);
    service->checks.clear();
    EXPECT_FALSE(changes[i]());
    EXPECT_EQ(cmd_.m_lastError, CMDERR_DENIED_UNITS);
    ASSERT_EQ(service->checks.size(), 1u);
    EXPECT_EQ(service->checks[0].right, security::kRightUnits);
  }
  EXPECT_FALSE(FileWritten());
  Variant units;
  units::GetUnitsList(cmd_, B("Distance"), &units);
  EXPECT_EQ(ListOf(units).size(), 9u);

  // The table is shared: an application object with its directory set is asked too.
  ZrCalcAppCmdObject app;
  app.m_accessMode = CCalcCmdBase::kAccessApplication;
  service->checks.clear();
  EXPECT_FALSE(units::AddUnit(app, B("Distance"), B("furlong"), B("Furlong"), 201.168, 0));
  EXPECT_EQ(app.m_lastError, CMDERR_DENIED_UNITS);
  EXPECT_FALSE(FileWritten());
  service->heldRights = security::kRightUnits;
  EXPECT_TRUE(units::AddUnit(app, B("Distance"), B("furlong"), B("Furlong"), 201.168, 0));
  ASSERT_EQ(service->checks.size(), 2u);
  EXPECT_EQ(service->checks[1].right, security::kRightUnits);
}

TEST_F(UnitsCommandsTest, AddingAndDeleting) {
  EXPECT_FALSE(units::AddUnit(cmd_, B("Distance"), B("mile"), B("Mile"), 1609.344, 0));
  EXPECT_EQ(cmd_.m_lastError, CMDERR_UNIT_EXISTS);
  EXPECT_FALSE(units::AddUnit(cmd_, B("Colour"), B("nm"), B(""), 1, 0));
  EXPECT_EQ(cmd_.m_lastError, CMDERR_INVALID_MEASUREMENT_TYPE);
  EXPECT_FALSE(FileWritten());  // a fresh start writes nothing until the first change

  EXPECT_TRUE(units::AddMeasurementType(cmd_, B("Flow"), B("Volume flow"), B("l/s")));
  EXPECT_TRUE(FileWritten());
  EXPECT_FALSE(units::AddMeasurementType(cmd_, B("Flow"), B("again"), B("x")));
  EXPECT_EQ(cmd_.m_lastError, 0);  // refused by the collection, no code
  EXPECT_TRUE(units::AddUnit(cmd_, B("Flow"), B("l/s"), B("Liter per second"), 1, 0));

  EXPECT_FALSE(units::DeleteMeasurementType(cmd_, B("Volume"), false));
  EXPECT_EQ(cmd_.m_lastError, CMDERR_MEASUREMENT_TYPE_HAS_UNITS);
  EXPECT_TRUE(units::DeleteMeasurementType(cmd_, B("Volume"), true));
  Variant found;
  units::LookupMeasurementType(cmd_, B("ml"), &found);
  EXPECT_TRUE(found.IsEmpty());
  EXPECT_FALSE(units::DeleteMeasurementType(cmd_, B("Volume"), true));
  EXPECT_EQ(cmd_.m_lastError, CMDERR_DELETE_FIELD);
  EXPECT_FALSE(units::DeleteMeasurementType(cmd_, B("Colour"), false));
  EXPECT_EQ(cmd_.m_lastError, CMDERR_DELETE_FIELD);

  EXPECT_FALSE(units::DeleteUnit(cmd_, B("Distance"), B("furlong")));
  EXPECT_EQ(cmd_.m_lastError, CMDERR_INVALID_UNITS_NAME);
  EXPECT_FALSE(units::DeleteUnit(cmd_, B("Colour"), B("nm")));
  EXPECT_EQ(cmd_.m_lastError, CMDERR_INVALID_MEASUREMENT_TYPE);
  EXPECT_TRUE(units::DeleteUnit(cmd_, B("Distance"), B("feet")));
  // A type without units may go without forcing.
  EXPECT_TRUE(units::DeleteUnit(cmd_, B("Magnetism"), B("T")));
  EXPECT_TRUE(units::DeleteUnit(cmd_, B("Magnetism"), B("ga")));
  EXPECT_TRUE(units::DeleteMeasurementType(cmd_, B("Magnetism"), false));

  // Everything above is in the file.
  g_pUnitConversionObject = nullptr;
  GetUnitConversionObject();
  Variant types, units;
  units::GetMeasurementTypesList(cmd_, &types);
  EXPECT_THAT(ListOf(types), ElementsAre("Temperature", "Distance", "Time", "Mass", "Mass Rate", "Pressure", "Force",
                                         "Energy", "Power", "Area", "Speed", "Flow"));
  units::GetUnitsList(cmd_, B("Flow"), &units);
  EXPECT_THAT(ListOf(units), ElementsAre("l/s"));
}

TEST_F(UnitsCommandsTest, InformationAndUpdates) {
  Bstr description, standard;
  EXPECT_TRUE(units::GetMeasurementTypeInfo(cmd_, B("Pressure"), &description, &standard));
  EXPECT_EQ(description.ToUtf8(), "Pressure");
  EXPECT_EQ(standard.ToUtf8(), "Pa");
  const Bstr newDescription = B("Pressure (absolute)");
  EXPECT_TRUE(units::UpdateMeasurementTypeInfo(cmd_, B("Pressure"), &newDescription, nullptr));
  EXPECT_TRUE(units::GetMeasurementTypeInfo(cmd_, B("Pressure"), &description, &standard));
  EXPECT_EQ(description.ToUtf8(), "Pressure (absolute)");
  EXPECT_EQ(standard.ToUtf8(), "Pa");
  EXPECT_FALSE(units::UpdateMeasurementTypeInfo(cmd_, B("Colour"), &newDescription, nullptr));
  EXPECT_EQ(cmd_.m_lastError, CMDERR_INVALID_MEASUREMENT_TYPE);

  EXPECT_TRUE(units::UpdateUnitInfo(cmd_, B("Pressure"), B("psi"), nullptr, 6894.757, 1.5));
  double multiplier = 0, offset = 0;
  EXPECT_TRUE(units::GetUnitInfo(cmd_, B("Pressure"), B("psi"), &description, &multiplier, &offset));
  EXPECT_EQ(description.ToUtf8(), "Pounds per square inch");
  EXPECT_EQ(multiplier, 6894.757);
  EXPECT_EQ(offset, 1.5);
  EXPECT_TRUE(units::GetUnitInfo(cmd_, B("Pressure"), B("Bar"), &description, nullptr, nullptr));
  EXPECT_EQ(description.ToUtf8(), "Bar");
  EXPECT_FALSE(units::UpdateUnitInfo(cmd_, B("Pressure"), B("torr"), nullptr, 1, 0));
  EXPECT_EQ(cmd_.m_lastError, CMDERR_INVALID_UNITS_NAME);
  EXPECT_FALSE(units::GetUnitInfo(cmd_, B("Pressure"), B("torr"), &description, nullptr, nullptr));
  EXPECT_EQ(cmd_.m_lastError, CMDERR_INVALID_UNITS_NAME);

  ComPtr<IDispatch> unit = units::GetUnit(cmd_, B("Pressure"), B("atm"));
  ASSERT_TRUE(unit);
  Variant v;
  ASSERT_EQ(com::GetProperty(unit.Get(), "Multiplier", &v), com::S_OK);
  EXPECT_EQ(v, Variant::R8(101324.9966));
  EXPECT_FALSE(units::GetUnit(cmd_, B("Pressure"), B("torr")));
  EXPECT_EQ(cmd_.m_lastError, CMDERR_INVALID_UNITS_NAME);
  EXPECT_FALSE(units::GetUnit(cmd_, B("Colour"), B("nm")));
  EXPECT_EQ(cmd_.m_lastError, CMDERR_INVALID_MEASUREMENT_TYPE);
  EXPECT_TRUE(units::GetMeasurementType(cmd_, B("Pressure")));
  EXPECT_FALSE(units::GetMeasurementType(cmd_, B("Colour")));
  EXPECT_EQ(cmd_.m_lastError, CMDERR_INVALID_MEASUREMENT_TYPE);
  Variant list;
  units::GetUnitsList(cmd_, B("Colour"), &list);
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_EQ(cmd_.m_lastError, CMDERR_INVALID_MEASUREMENT_TYPE);
  EXPECT_EQ(units::GetUnitConversionObject(cmd_).Get(), com::QueryInterface<IDispatch>(g_pUnitConversionObject).Get());
}

// Factors that cannot convert (NaN, an infinity, a multiplier that conversions cannot divide by)
// and texts past the table's limits are refused; the table and its file stay as they were.
TEST_F(UnitsCommandsTest, UnusableFactorsAndOverlongTextsAreRefused) {
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  struct Case {
    double multiplier, offset;
    std::string name, description;
  } cases[] = {
      {nan, 0, "u1", ""}, {inf, 0, "u2", ""}, {-inf, 0, "u3", ""}, {1, nan, "u4", ""},
      {1, inf, "u5", ""}, {0, 0, "u6", ""},   {1, 0, std::string(kMaxUnitNameLength + 1, 'n'), ""},
      {1, 0, "u7", std::string(kMaxUnitDescriptionLength + 1, 'd')},
      // Finite, but conversions divide by it: the inverse is infinite.
      {5e-324, 0, "u8", ""}, {-5e-324, 0, "u9", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name.substr(0, 8) + " " + std::to_string(c.multiplier) + " " + std::to_string(c.offset));
    EXPECT_FALSE(units::AddUnit(cmd_, B("Distance"), Bstr::FromUtf8(c.name), Bstr::FromUtf8(c.description), c.multiplier,
                              c.offset));
    EXPECT_EQ(cmd_.m_lastError, CMDERR_ADD_UNIT_CONVERSION);
    Bstr description;
    double m = 0, o = 0;
    EXPECT_FALSE(units::GetUnitInfo(cmd_, B("Distance"), Bstr::FromUtf8(c.name), &description, &m, &o));

    // The same factors or description on an existing unit.
    const Bstr description2 = Bstr::FromUtf8(c.description);
    const bool textOnly = c.multiplier == 1 && c.offset == 0;
    if (!textOnly || !c.description.empty()) {
      EXPECT_FALSE(units::UpdateUnitInfo(cmd_, B("Distance"), B("m"), c.description.empty() ? nullptr : &description2,
                                       c.multiplier, c.offset));
      EXPECT_EQ(cmd_.m_lastError, CMDERR_INVALID_ARGUMENTS);
    }
  }
  double m = 0, o = 0;
  Bstr description;
  ASSERT_TRUE(units::GetUnitInfo(cmd_, B("Distance"), B("m"), &description, &m, &o));
  EXPECT_EQ(m, 1);
  EXPECT_EQ(o, 0);
  const Bstr longName = Bstr::FromUtf8(std::string(kMaxUnitNameLength + 1, 't'));
  EXPECT_FALSE(units::AddMeasurementType(cmd_, longName, longName, B("x")));
  EXPECT_FALSE(units::UpdateMeasurementTypeInfo(cmd_, B("Distance"), nullptr, &longName));
  EXPECT_EQ(cmd_.m_lastError, CMDERR_INVALID_ARGUMENTS);
  EXPECT_FALSE(FileWritten());
}

TEST_F(UnitsCommandsTest, LookupByUnitsName) {
  struct Case {
    const char* unit;
    std::vector<std::string> types;
  } cases[] = {{"s", {"Time"}}, {"m", {"Distance"}}, {"furlong", {}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.unit);
    Variant v;
    units::LookupMeasurementType(cmd_, B(c.unit), &v);
    EXPECT_EQ(ListOf(v), c.types);
    EXPECT_EQ(v.IsEmpty(), c.types.empty());
  }
  ASSERT_TRUE(units::AddUnit(cmd_, B("Speed"), B("m"), B("odd"), 1, 0));
  Variant v;
  units::LookupMeasurementType(cmd_, B("m"), &v);
  EXPECT_THAT(ListOf(v), ElementsAre("Distance", "Speed"));
}

// The bindings: arguments reach the commands and in/out arguments come back.
TEST_F(UnitsCommandsTest, ThroughTheDispatchWrapper) {
  auto call = [](ICommandObject* obj, const char* name, std::vector<Variant>& args, Variant* result) {
    com::DISPID id;
    EXPECT_EQ(obj->GetIDsOfNames(name, &id), com::S_OK) << name;
    return obj->Invoke(id, com::DISPATCH_METHOD, args, result);
  };
  auto main = com::MakeCom<ZrCalcCommands>();
  auto app = com::MakeCom<ZrCalcAppCommands>();
  for (ICommandObject* obj : {static_cast<ICommandObject*>(main.Get()), static_cast<ICommandObject*>(app.Get())}) {
    std::vector<Variant> args{Variant::Str("Temperature"), Variant::Str("F"), Variant::Str("C"), Variant::R8(0),
                              Variant::R8(0)};
    Variant result;
    ASSERT_EQ(call(obj, "GetConversion", args, &result), com::S_OK);
    EXPECT_EQ(result, Variant::Bool(true));
    EXPECT_NEAR(args[3].r8(), 1.8, 1e-12);
    EXPECT_NEAR(args[4].r8(), 32, 1e-12);
  }

  std::vector<Variant> info{Variant::Str("Distance"), Variant::Str("yd"), Variant::Str(""), Variant::R8(0),
                            Variant::R8(0)};
  Variant result;
  ASSERT_EQ(call(main.Get(), "GetUnitInfo", info, &result), com::S_OK);
  EXPECT_EQ(info[2], Variant::Str("Yard"));
  EXPECT_EQ(info[3], Variant::R8(0.9144));

  std::vector<Variant> lookup{Variant::Str("s")};
  ASSERT_EQ(call(main.Get(), "LookupMeasurementType", lookup, &result), com::S_OK);
  EXPECT_THAT(ListOf(result), ElementsAre("Time"));

  service->heldRights = 0;
  std::vector<Variant> add{Variant::Str("Distance"), Variant::Str("furlong"), Variant::Str("Furlong"),
                           Variant::R8(201.168), Variant::R8(0)};
  ASSERT_EQ(call(main.Get(), "AddUnit", add, &result), com::S_OK);
  EXPECT_EQ(result, Variant::Bool(false));
  long code = 0;
  main->Command().GetLastCommandError(&code);
  EXPECT_EQ(code, CMDERR_DENIED_UNITS);

  std::vector<Variant> remove{Variant::Str("Volume"), Variant::Bool(false)};
  service->heldRights = security::kRightUnits;
  ASSERT_EQ(call(main.Get(), "DeleteMeasurementType", remove, &result), com::S_OK);
  main->Command().GetLastCommandError(&code);
  EXPECT_EQ(code, CMDERR_MEASUREMENT_TYPE_HAS_UNITS);
}

}  // namespace
}  // namespace kv::units::testing
