// The measurement type and unit components: creating and finding units, their properties by
// name, and the file form of a units table.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/collection.h"
#include "engine/unit_type.h"
#include "engine_test_util.h"

namespace kv::engine {
namespace {

using ::testing::ElementsAre;
using com::ComPtr;
using components::IZrUnit;
using testing::ScratchDir;

TEST(UnitComponentsTest, CreateAndFindUnits) {
  auto type = com::MakeCom<ZrUnitType>();
  ComPtr<IZrUnit> created, again, found;
  ASSERT_EQ(type->CreateUnit(Bstr::FromUtf8("F"), &created), com::S_OK);
  ASSERT_TRUE(created);
  double multiplier = 0, offset = -1;
  created->GetMultiplier(&multiplier);
  created->GetOffset(&offset);
  EXPECT_EQ(multiplier, 1.0);
  EXPECT_EQ(offset, 0.0);
  EXPECT_EQ(type->CreateUnit(Bstr::FromUtf8("F"), &again), com::S_FALSE);
  EXPECT_FALSE(again);
  EXPECT_EQ(type->Unit(Bstr::FromUtf8("F"), &found), com::S_OK);
  EXPECT_EQ(found.Get(), created.Get());
  EXPECT_EQ(type->Unit(Bstr::FromUtf8("f"), &found), com::S_FALSE);
  EXPECT_FALSE(found);

  // By name: the methods hand out the unit or a null object.
  std::vector<Variant> args{Variant::Str("F")};
  Variant v;
  ASSERT_EQ(com::CallMethod(type.Get(), "Unit", args, &v), com::S_OK);
  ASSERT_EQ(v.vt(), com::VT_DISPATCH);
  ASSERT_TRUE(v.dispatch());
  EXPECT_EQ(com::PutProperty(v.dispatch().Get(), "Multiplier", Variant::Str("0.5")), com::S_OK);
  Variant m;
  ASSERT_EQ(com::GetProperty(v.dispatch().Get(), "Multiplier", &m), com::S_OK);
  EXPECT_EQ(m, Variant::R8(0.5));
  ASSERT_EQ(com::CallMethod(type.Get(), "CreateUnit", args, &v), com::S_FALSE);
  EXPECT_EQ(v.vt(), com::VT_DISPATCH);
  EXPECT_FALSE(v.dispatch());
  ASSERT_EQ(com::GetProperty(type.Get(), "Units", &v), com::S_OK);
  ASSERT_EQ(com::GetProperty(v.dispatch().Get(), "Count", &m), com::S_OK);
  EXPECT_EQ(m, Variant::I4(1));
}

TEST(UnitComponentsTest, TableRoundTripsBitForBit) {
  struct Unit {
    const char* name;
    const char* description;
    double multiplier, offset;
  } units[] = {
      {"F", "Degree Fahrenheit", 0.5555555555555556, -17.77777777777778},
      {"K", "Degree Kelvin", 1, -273.15},
      {"eV", "Electron volt", 1.60219e-19, 0},
      {"third", "", 1.0 / 3.0, -0.0},
  };
  auto table = com::MakeCom<ZrCollection>();
  auto type = com::MakeCom<ZrUnitType>();
  type->PutName(Bstr::FromUtf8("Temperature"));
  type->PutDescription(Bstr::FromUtf8("Temperature <°>"));
  type->PutStandardUnits(Bstr::FromUtf8("C"));
  for (const auto& u : units) {
    ComPtr<IZrUnit> unit;
    ASSERT_EQ(type->CreateUnit(Bstr::FromUtf8(u.name), &unit), com::S_OK);
    unit->PutDescription(Bstr::FromUtf8(u.description));
    unit->PutMultiplier(u.multiplier);
    unit->PutOffset(u.offset);
  }
  ASSERT_EQ(table->AddNamed("Temperature", type), com::S_OK);
  ASSERT_EQ(table->AddNamed("Empty", com::MakeCom<ZrUnitType>()), com::S_OK);

  testing::ScopedServerObjects objects;
  ScratchDir dir;
  const Bstr path = Bstr::FromUtf8(dir.W("Conversions.zrc"));
  ASSERT_EQ(table->SaveToFile(path), com::S_OK);
  auto loaded = com::MakeCom<ZrCollection>();
  ASSERT_EQ(loaded->LoadFromFile(path), com::S_OK);
  ASSERT_EQ(loaded->Size(), 2u);
  auto* back = dynamic_cast<ZrUnitType*>(loaded->Find("Temperature").Get());
  ASSERT_TRUE(back);
  Bstr text;
  back->GetDescription(&text);
  EXPECT_EQ(text.ToUtf8(), "Temperature <°>");
  back->GetStandardUnits(&text);
  EXPECT_EQ(text.ToUtf8(), "C");
  std::vector<std::string> names;
  for (const auto& e : back->UnitCollection()->Entries()) names.push_back(e.name);
  EXPECT_THAT(names, ElementsAre("F", "K", "eV", "third"));
  for (const auto& u : units) {
    SCOPED_TRACE(u.name);
    ComPtr<IZrUnit> unit;
    ASSERT_EQ(back->Unit(Bstr::FromUtf8(u.name), &unit), com::S_OK);
    double multiplier = 0, offset = 0;
    unit->GetMultiplier(&multiplier);
    unit->GetOffset(&offset);
    unit->GetDescription(&text);
    EXPECT_EQ(multiplier, u.multiplier);
    EXPECT_EQ(offset, u.offset);
    EXPECT_EQ(std::signbit(offset), std::signbit(u.offset));
    EXPECT_EQ(text.ToUtf8(), u.description);
  }
}

}  // namespace
}  // namespace kv::engine
