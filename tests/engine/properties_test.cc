#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "com/class_registry.h"
#include "engine/calc_environment.h"
#include "engine/calculation.h"
#include "engine/engine_registration.h"
#include "engine/library.h"
#include "engine_test_util.h"

namespace kv::engine {
namespace {

using com::Variant;
using ::testing::ElementsAre;
using testing::GetPath;

struct PutCase {
  const char* property;
  Variant put;
  HRESULT putResult;
  Variant expected;  // what a get answers afterwards
};

TEST(CalculationProperties, PutsConvertToThePropertyType) {
  const PutCase cases[] = {
      {"Password", Variant::Str("123"), com::S_OK, Variant::I4(123)},
      {"Password", Variant::R8(41.5), com::S_OK, Variant::I4(42)},
      {"password", Variant::I2(-7), com::S_OK, Variant::I4(-7)},
      {"Password", Variant::Str("abc"), com::DISP_E_TYPEMISMATCH, Variant::I4(0)},
      {"Password", Variant::R8(3e10), com::DISP_E_OVERFLOW, Variant::I4(0)},
      {"ID", Variant::I4(7), com::S_OK, Variant::Str("7")},
      {"EDITOWNER", Variant::Str("(HOST)(ed)(Monday)"), com::S_OK, Variant::Str("(HOST)(ed)(Monday)")},
      {"CalcType", Variant::Str("2"), com::S_OK, Variant::I4(2)},
      {"CreationTime", Variant::R8(45000.5), com::S_OK, Variant::Date(45000.5)},
      {"SaveTime", Variant::Str("x"), com::DISP_E_TYPEMISMATCH, Variant::Date(0)},
      {"Script", Variant::Str("y = 2"), com::S_OK, Variant::Str("y = 2")},
      {"Status", Variant::I4(3), com::DISP_E_MEMBERNOTFOUND, Variant::Str("")},
      {"Level", Variant::I4(1), com::DISP_E_MEMBERNOTFOUND, Variant::I4(0)},
      {"ErrorText", Variant::Str("boom"), com::DISP_E_MEMBERNOTFOUND, Variant::Str("")},
      {"SummaryState", Variant::I2(1), com::DISP_E_MEMBERNOTFOUND, Variant::I2(0)},
  };
  for (const PutCase& c : cases) {
    SCOPED_TRACE(c.property);
    auto calc = com::MakeCom<ZrCalculation>();
    EXPECT_EQ(com::PutProperty(calc.Get(), c.property, c.put), c.putResult);
    Variant got;
    ASSERT_EQ(com::GetProperty(calc.Get(), c.property, &got), com::S_OK);
    EXPECT_TRUE(got == c.expected) << "type " << got.vt();
  }
  Variant none;
  auto calc = com::MakeCom<ZrCalculation>();
  EXPECT_EQ(com::GetProperty(calc.Get(), "NoSuchThing", &none), com::DISP_E_UNKNOWNNAME);
}

TEST(CalculationProperties, InterfaceAndNamedPropertiesShowTheSameState) {
  auto calc = com::MakeCom<ZrCalculation>();
  long type = 0;
  calc->GetCalcType(&type);
  EXPECT_EQ(type, components::kCalcTypeCalcScript);
  int16_t summary = -1;
  calc->GetSummaryState(&summary);
  EXPECT_EQ(summary, 0);

  ASSERT_EQ(com::PutProperty(calc.Get(), "Script", Variant::Str("x = 1")), com::S_OK);
  calc->GetSummaryState(&summary);
  EXPECT_EQ(summary, 1);

  calc->SetOwnerString(com::Bstr::FromUtf8("(N)(E)(D)"));
  Variant owner;
  ASSERT_EQ(com::GetProperty(calc.Get(), "EditOwner", &owner), com::S_OK);
  EXPECT_EQ(owner.bstr().ToUtf8(), "(N)(E)(D)");

  ASSERT_EQ(com::PutProperty(calc.Get(), "Name", Variant::Str("Area3\\Flow1")), com::S_OK);
  com::Bstr name;
  ASSERT_EQ(com::QueryInterface<components::VRRoot>(calc)->GetName(&name), com::S_OK);
  EXPECT_EQ(name.ToUtf8(), "Area3\\Flow1");

  ASSERT_EQ(com::PutProperty(calc.Get(), "Libraries", com::StringListVariant({"L1", "L2"})), com::S_OK);
  EXPECT_THAT(calc->Libraries(), ElementsAre("L1", "L2"));
  EXPECT_EQ(com::PutProperty(calc.Get(), "Libraries", Variant::I4(3)), com::DISP_E_TYPEMISMATCH);
  ASSERT_EQ(com::PutProperty(calc.Get(), "Libraries", Variant()), com::S_OK);
  EXPECT_TRUE(calc->Libraries().empty());
}

TEST(CalculationProperties, ParametersAreReachedAlongDottedPaths) {
  auto calc = com::MakeCom<ZrCalculation>();
  Variant count;
  ASSERT_EQ(GetPath(calc.Get(), "Parameters.Count", &count), com::S_OK);
  EXPECT_TRUE(count == Variant::I4(0));

  ASSERT_TRUE(calc->AddParameter("Flow", Variant::R8(2.5), "m3/h"));
  ASSERT_TRUE(calc->AddParameter("Tag", Variant::Str("FIC101")));
  EXPECT_FALSE(calc->AddParameter("Flow", Variant::R8(1)));
  EXPECT_FALSE(calc->AddParameter("Obj", Variant::Dispatch(com::ComPtr<com::IDispatch>(calc.Get()))));
  ASSERT_EQ(GetPath(calc.Get(), "Parameters.Count", &count), com::S_OK);
  EXPECT_TRUE(count == Variant::I4(2));

  Variant params;
  ASSERT_EQ(com::GetProperty(calc.Get(), "Parameters", &params), com::S_OK);
  ASSERT_EQ(params.vt(), com::VT_DISPATCH);
  struct ItemCase {
    Variant index;
    HRESULT result;
    const char* name;
  } items[] = {
      {Variant::I4(1), com::S_OK, "Flow"},
      {Variant::Str("2"), com::S_OK, "Tag"},
      {Variant::I4(0), com::DISP_E_BADINDEX, nullptr},
      {Variant::I4(3), com::DISP_E_BADINDEX, nullptr},
      {Variant::Str("x"), com::DISP_E_TYPEMISMATCH, nullptr},
  };
  for (const ItemCase& c : items) {
    std::vector<Variant> args{c.index};
    Variant item;
    ASSERT_EQ(com::CallMethod(params.dispatch().Get(), "Item", args, &item), c.result);
    if (!c.name) continue;
    Variant name;
    ASSERT_EQ(com::GetProperty(item.dispatch().Get(), "Name", &name), com::S_OK);
    EXPECT_EQ(name.bstr().ToUtf8(), c.name);
  }
  std::vector<Variant> none;
  EXPECT_EQ(com::CallMethod(params.dispatch().Get(), "Item", none, nullptr), com::DISP_E_PARAMNOTOPTIONAL);

  // A parameter object is live: a put through it shows in the calculation.
  std::vector<Variant> first{Variant::I4(1)};
  Variant item;
  ASSERT_EQ(com::CallMethod(params.dispatch().Get(), "Item", first, &item), com::S_OK);
  ASSERT_EQ(com::PutProperty(item.dispatch().Get(), "Value", Variant::I4(9)), com::S_OK);
  EXPECT_EQ(com::PutProperty(item.dispatch().Get(), "Value", params), com::DISP_E_TYPEMISMATCH);
  EXPECT_TRUE(calc->Parameters()->Find("Flow")->Value() == Variant::I4(9));
  Variant units;
  ASSERT_EQ(GetPath(item.dispatch().Get(), "Units", &units), com::S_OK);
  EXPECT_EQ(units.bstr().ToUtf8(), "m3/h");
}

TEST(LibraryFormulas, CollectionListAndHelpersAgree) {
  auto lib = com::MakeCom<ZrLibrary>();
  Variant list = Variant::I4(1);
  ASSERT_EQ(lib->ListFormulas(&list), com::S_OK);
  EXPECT_TRUE(list.IsEmpty());

  ASSERT_TRUE(lib->NewFormula("F1"));
  ASSERT_TRUE(lib->NewFormula("F2"));
  EXPECT_FALSE(lib->NewFormula("F1"));
  lib->FindFormula("F2")->SetCalcType(1);
  ASSERT_EQ(lib->ListFormulas(&list), com::S_OK);
  std::vector<std::string> names;
  ASSERT_TRUE(com::VariantToStringList(list, &names));
  EXPECT_THAT(names, ElementsAre("F1", "F2"));

  com::ComPtr<components::IZrFormulas> formulas;
  ASSERT_EQ(lib->GetFormulas(&formulas), com::S_OK);
  long count = 0;
  formulas->Count(&count);
  ASSERT_EQ(count, 2);
  std::vector<long> types;
  for (long i = 1; i <= count; ++i) {
    com::ComPtr<com::IDispatch> item;
    ASSERT_EQ(formulas->Item(i, &item), com::S_OK);
    auto formula = com::QueryInterface<components::IZrCalculation>(item);
    ASSERT_TRUE(formula);
    long type;
    formula->GetCalcType(&type);
    types.push_back(type);
  }
  EXPECT_THAT(types, ElementsAre(components::kCalcTypeCalcScript, 1));
  com::ComPtr<com::IDispatch> none;
  EXPECT_EQ(formulas->Item(3, &none), com::DISP_E_BADINDEX);

  EXPECT_TRUE(lib->RemoveFormula("F1"));
  EXPECT_FALSE(lib->RemoveFormula("F1"));
  Variant n;
  ASSERT_EQ(GetPath(lib.Get(), "Formulas.Count", &n), com::S_OK);
  EXPECT_TRUE(n == Variant::I4(1));
  ASSERT_EQ(GetPath(lib.Get(), "Formulas.Item.Name", &n), com::DISP_E_PARAMNOTOPTIONAL);

  ASSERT_EQ(com::PutProperty(lib.Get(), "Password", Variant::Str("-5")), com::S_OK);
  ASSERT_EQ(com::GetProperty(lib.Get(), "Password", &n), com::S_OK);
  EXPECT_TRUE(n == Variant::I4(-5));
}

TEST(EngineRegistration, ClassesAreCreatableByClassAndProgId) {
  testing::ScopedServerObjects objects;
  RegisterEngineClasses(&objects);
  EXPECT_EQ(ServerObjects(), &objects);
  struct Case {
    const char* progId;
    com::CLSID clsid;
  } cases[] = {
      {"Kelvarin.ZrCalcEnvironment", components::CLSID_ZrCalcEnvironment},
      {"kelvarin.zrcalculation.1", components::CLSID_ZrCalculation},
      {"Kelvarin.ZrLibrary", components::CLSID_ZrLibrary},
      {"Kelvarin.ZrLibrary.1", components::CLSID_ZrLibrary},
  };
  for (const Case& c : cases) {
    com::CLSID clsid;
    ASSERT_EQ(com::ClassRegistry::Instance().CLSIDFromString(c.progId, &clsid), com::S_OK) << c.progId;
    EXPECT_EQ(clsid, c.clsid) << c.progId;
  }
  com::ComPtr<components::IZrCalculation> calc;
  EXPECT_EQ(com::CreateInstance(components::CLSID_ZrCalculation, &calc), com::S_OK);
  com::ComPtr<components::IZrLibrary> lib;
  EXPECT_EQ(com::CreateInstance(components::CLSID_ZrLibrary, &lib), com::S_OK);
  EXPECT_TRUE(com::QueryInterface<components::IZrPersistFile>(lib));
  EXPECT_FALSE(com::QueryInterface<components::IZrCalculation>(lib));
  com::ComPtr<components::IZrCalcEnvironment> env;
  EXPECT_EQ(com::CreateInstance(components::CLSID_ZrCalcEnvironment, &env), com::S_OK);
}

}  // namespace
}  // namespace kv::engine
