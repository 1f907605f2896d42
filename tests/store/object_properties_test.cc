// Reading and writing named properties: one name, arrays of names, dotted paths, and the
// shapes of the results.
#include "store/lifecycle_fixture.h"
#include "store/store_commands.h"

namespace kv::testing {
namespace {

using ObjectPropertiesTest = LifecycleFixture;

Variant NameArray(com::VARTYPE element, const std::vector<Variant>& items) {
  com::SafeArray a(element, 0, items.size());
  for (size_t i = 0; i < items.size(); ++i) a.At(i) = items[i];
  return Variant::Array(std::move(a));
}

TEST_F(ObjectPropertiesTest, SingleNamesAndPaths) {
  ComPtr<IDispatch> calc = store::CreateCalculationObject(*cmd, B("Flow1"), B("H"), B("e"));
  ASSERT_TRUE(calc);
  Variant values = Variant::I4(99);
  EXPECT_EQ(store::SetObjectProperties(*cmd, calc.Get(), Variant::Str("Script"), Variant::Str("return 5")),
            Variant::Bool(true));
  EXPECT_EQ(store::GetObjectProperties(*cmd, calc.Get(), Variant::Str("Script"), &values), Variant::Bool(true));
  EXPECT_EQ(values, Variant::Str("return 5"));
  // Through an object-valued property.
  EXPECT_EQ(store::GetObjectProperties(*cmd, calc.Get(), Variant::Str("Parameters.Count"), &values), Variant::Bool(true));
  EXPECT_EQ(values, Variant::I4(0));
  // A failed read still clears the values first.
  EXPECT_EQ(store::GetObjectProperties(*cmd, calc.Get(), Variant::Str("Script.Count"), &values), Variant::Bool(false));
  EXPECT_TRUE(values.IsEmpty());
  EXPECT_EQ(store::SetObjectProperties(*cmd, calc.Get(), Variant::Str("NoSuch"), Variant::I4(1)), Variant::Bool(false));
  EXPECT_EQ(Code(), 0);  // a property that is not there is no command error
}

TEST_F(ObjectPropertiesTest, ArraysOfNamesGiveOneFlagPerName) {
  ComPtr<IDispatch> calc = store::CreateCalculationObject(*cmd, B("Flow1"), B("H"), B("e"));
  ASSERT_TRUE(calc);
  for (com::VARTYPE element : {com::VT_BSTR, com::VT_VARIANT}) {
    SCOPED_TRACE(element);
    const Variant names = NameArray(element, {Variant::Str("Description"), Variant::Str("Status"), Variant::Str("ID")});
    const Variant given = NameArray(com::VT_VARIANT, {Variant::Str("pump"), Variant::I4(1), Variant::Str("op")});
    Variant flags = store::SetObjectProperties(*cmd, calc.Get(), names, given);
    ASSERT_EQ(flags.vt(), com::VT_ARRAY | com::VT_VARIANT);
    ASSERT_EQ(flags.array().Count(), 3u);
    // 1 and 0, not VARIANT_TRUE: "Status" is read-only.
    EXPECT_EQ(flags.array().At(0), Variant::OfInt(com::VT_BOOL, 1));
    EXPECT_EQ(flags.array().At(1), Variant::OfInt(com::VT_BOOL, 0));
    EXPECT_EQ(flags.array().At(2), Variant::OfInt(com::VT_BOOL, 1));

    Variant values;
    flags = store::GetObjectProperties(*cmd, calc.Get(), names, &values);
    ASSERT_EQ(values.vt(), com::VT_ARRAY | com::VT_VARIANT);
    EXPECT_EQ(values.array().At(0), Variant::Str("pump"));
    EXPECT_EQ(values.array().At(1), Variant::Str(""));  // "Status" is a short text
    EXPECT_EQ(values.array().At(2), Variant::Str("op"));
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(flags.array().At(i), Variant::OfInt(com::VT_BOOL, 1));
  }
  // A name that is not a string, and a name without a value, fail alone.
  const Variant mixed = NameArray(com::VT_VARIANT, {Variant::I4(7), Variant::Str("Description"), Variant::Str("ID")});
  Variant flags =
      store::SetObjectProperties(*cmd, calc.Get(), mixed, NameArray(com::VT_VARIANT, {Variant::I4(1), Variant::Str("d")}));
  EXPECT_EQ(flags.array().At(0), Variant::OfInt(com::VT_BOOL, 0));
  EXPECT_EQ(flags.array().At(1), Variant::OfInt(com::VT_BOOL, 1));
  EXPECT_EQ(flags.array().At(2), Variant::OfInt(com::VT_BOOL, 0));
}

TEST_F(ObjectPropertiesTest, InvalidArguments) {
  ComPtr<IDispatch> calc = store::CreateCalculationObject(*cmd, B("Flow1"), B("H"), B("e"));
  Variant values = Variant::I4(1);
  struct Case {
    IDispatch* object;
    Variant list;
  } cases[] = {
      {nullptr, Variant::Str("Script")},
      {calc.Get(), Variant()},
      {calc.Get(), Variant::I4(3)},
      {calc.Get(), NameArray(com::VT_I4, {Variant::I4(1)})},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(store::GetObjectProperties(*cmd, c.object, c.list, &values), Variant::Bool(false));
    EXPECT_EQ(Code(), CMDERR_INVALID_ARGUMENTS);
    EXPECT_TRUE(values.IsEmpty());
    EXPECT_EQ(store::SetObjectProperties(*cmd, c.object, c.list, Variant::I4(1)), Variant::Bool(false));
    EXPECT_EQ(Code(), CMDERR_INVALID_ARGUMENTS);
  }
  // An array of names needs an array of values.
  EXPECT_EQ(store::SetObjectProperties(*cmd, calc.Get(), NameArray(com::VT_BSTR, {Variant::Str("ID")}), Variant::Str("x")),
            Variant::Bool(false));
  EXPECT_EQ(Code(), CMDERR_INVALID_ARGUMENTS);
}

}  // namespace
}  // namespace kv::testing
