// The units table at start-up: the default table, the conversions file, and the two routines
// that fill the table.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "com/class_registry.h"
#include "engine/engine_test_util.h"
#include "units/units_table.h"
#include "units_test_util.h"

namespace kv::units::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;
using components::IZrUnit;

struct Factors {
  double multiplier, offset;
};

Factors FactorsOf(const char* type, const char* unit) {
  ComPtr<IZrUnitType> t;
  ComPtr<IZrUnit> u;
  Factors f{0, 0};
  EXPECT_EQ(FindType(Bstr::FromUtf8(type), &t), com::S_OK) << type;
  if (t && t->Unit(Bstr::FromUtf8(unit), &u) == com::S_OK) {
    u->GetMultiplier(&f.multiplier);
    u->GetOffset(&f.offset);
  } else {
    ADD_FAILURE() << type << " has no unit " << unit;
  }
  return f;
}

class UnitsTableTest : public UnitsFixture {
 protected:
  // The 13 types and 75 units of the built-in table, plus `extraDistance` units of Distance.
  void ExpectDefaultTable(long extraDistance = 0) {
    ASSERT_TRUE(g_pUnitConversionObject);
    com::Variant names;
    g_pUnitConversionObject->NameList(&names);
    EXPECT_THAT(ListOf(names),
                ElementsAre("Temperature", "Distance", "Time", "Mass", "Mass Rate", "Pressure", "Force", "Energy",
                            "Power", "Magnetism", "Area", "Volume", "Speed"));
    const long unitCounts[] = {5, 9, 8, 9, 3, 6, 3, 11, 5, 2, 4, 6, 4};
    const char* const standard[] = {"C", "m", "s", "g", "Kg/Min", "Pa", "N", "J", "W", "T", "sq m", "l", "m/s"};
    long total = 0;
    for (long i = 1; i <= 13; ++i) {
      SCOPED_TRACE(i);
      ComPtr<IZrUnitType> t;
      ASSERT_EQ(TypeAt(i, &t), com::S_OK);
      Bstr name, description, units;
      t->GetName(&name);
      t->GetDescription(&description);
      t->GetStandardUnits(&units);
      EXPECT_EQ(description.ToUtf8(), name.ToUtf8());
      EXPECT_EQ(units.ToUtf8(), standard[i - 1]);
      ComPtr<components::IZrCollection> list;
      ASSERT_EQ(t->Units(&list), com::S_OK);
      long count = 0;
      list->Count(&count);
      EXPECT_EQ(count, unitCounts[i - 1] + (i == 2 ? extraDistance : 0));
      total += count;
    }
    EXPECT_EQ(total, 75 + extraDistance);
    const struct {
      const char *type, *unit;
      Factors f;
    } spots[] = {
        {"Temperature", "F", {0.5555555555555556, -17.77777777777778}},
        {"Temperature", "K", {1, -273.15}},
        {"Distance", "mile", {1609.344, 0}},
        {"Mass", "ton", {1016046.774, 0}},
        {"Mass Rate", "kg/hr", {0.016666666666666666, 0}},
        {"Energy", "eV", {1.60219e-19, 0}},
        {"Energy", "BTU", {1055.058138, 0}},
        {"Volume", "UK gal", {4.5461, 0}},
        {"Speed", "kph", {0.2777777777777778, 0}},
    };
    for (const auto& s : spots) {
      SCOPED_TRACE(s.unit);
      const Factors f = FactorsOf(s.type, s.unit);
      EXPECT_EQ(f.multiplier, s.f.multiplier);
      EXPECT_EQ(f.offset, s.f.offset);
    }
  }

  engine::testing::ErrorCapture errors_;
};

TEST_F(UnitsTableTest, FreshStartBuildsTheDefaultTableWithoutWritingIt) {
  GetUnitConversionObject();
  ExpectDefaultTable();
  EXPECT_FALSE(std::filesystem::exists(ConversionsFile()));
  EXPECT_THAT(errors_.Lines(), IsEmpty());
}

TEST_F(UnitsTableTest, ChangedTableReadsBackAfterARestart) {
  GetUnitConversionObject();
  ASSERT_EQ(AddUnitToType(Bstr::FromUtf8("Distance"), Bstr::FromUtf8("furlong"), Bstr::FromUtf8("Furlong"), 201.168, 0),
            0);
  ASSERT_EQ(SaveUnitConversionObject(), com::S_OK);
  ASSERT_TRUE(std::filesystem::exists(ConversionsFile()));

  g_pUnitConversionObject = nullptr;
  GetUnitConversionObject();
  ExpectDefaultTable(1);
  const Factors f = FactorsOf("Distance", "furlong");
  EXPECT_EQ(f.multiplier, 201.168);
}

TEST_F(UnitsTableTest, DamagedFileFallsBackToTheDefaults) {
  std::filesystem::create_directories(g_BasePath + "/bin");
  std::ofstream(ConversionsFile()) << "<Collection version=\"1\"><Item name=\"Temperature\"><UnitType";
  GetUnitConversionObject();
  ExpectDefaultTable();
  ASSERT_THAT(errors_.Lines(), SizeIs(1));
}

TEST_F(UnitsTableTest, NoCollectionClassLeavesNoTable) {
  com::ClassRegistry::Instance().Unregister(components::CLSID_ZrCollection);
  GetUnitConversionObject();
  EXPECT_FALSE(g_pUnitConversionObject);
  EXPECT_EQ(SaveUnitConversionObject(), com::E_POINTER);
  EXPECT_FALSE(AddDefaultMeasurementType(Bstr::FromUtf8("Flow"), Bstr::FromUtf8("Flow"), Bstr::FromUtf8("m3/s")));
  EXPECT_EQ(AddUnitToType(Bstr::FromUtf8("Flow"), Bstr::FromUtf8("l/s"), Bstr(), 0.001, 0), -1);
}

TEST_F(UnitsTableTest, AddingTypesAndUnits) {
  GetUnitConversionObject();
  EXPECT_TRUE(AddDefaultMeasurementType(Bstr::FromUtf8("Flow"), Bstr::FromUtf8("Volume flow"), Bstr::FromUtf8("l/s")));
  EXPECT_FALSE(AddDefaultMeasurementType(Bstr::FromUtf8("Flow"), Bstr::FromUtf8("again"), Bstr::FromUtf8("x")));
  struct Case {
    const char *type, *unit;
    int result;
  } cases[] = {{"Flow", "l/s", 0}, {"Flow", "l/s", -2}, {"Flow", "L/s", 0}, {"Nope", "l/s", -1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.unit);
    EXPECT_EQ(AddUnitToType(Bstr::FromUtf8(c.type), Bstr::FromUtf8(c.unit), Bstr::FromUtf8("d"), 2.5, -1), c.result);
  }
  const Factors f = FactorsOf("Flow", "L/s");
  EXPECT_EQ(f.multiplier, 2.5);
  EXPECT_EQ(f.offset, -1.0);
  ComPtr<IZrUnitType> t;
  ASSERT_EQ(FindType(Bstr::FromUtf8("Flow"), &t), com::S_OK);
  Bstr description;
  t->GetDescription(&description);
  EXPECT_EQ(description.ToUtf8(), "Volume flow");
}

}  // namespace
}  // namespace kv::units::testing
