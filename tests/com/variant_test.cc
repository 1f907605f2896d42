#include <gtest/gtest.h>

#include "com/dispatch.h"
#include "com/variant.h"

namespace kv::com {
namespace {

TEST(Variant, CopiesOwnTheirContent) {
  SafeArray a(VT_VARIANT, 0, 2);
  ASSERT_EQ(a.Put(0, Variant::Str("x")), S_OK);
  Variant v = Variant::Array(std::move(a));
  Variant copy = v;
  ASSERT_EQ(copy.array().Put(0, Variant::I4(7)), S_OK);
  EXPECT_EQ(v.array().At(0), Variant::Str("x"));
  EXPECT_EQ(copy.vt(), VT_ARRAY | VT_VARIANT);
  Variant moved = std::move(copy);
  EXPECT_TRUE(copy.IsEmpty());
  EXPECT_EQ(moved.array().At(0), Variant::I4(7));
}

TEST(SafeArray, HonoursLowerBoundAndElementType) {
  SafeArray a(VT_BSTR, 1, 3);
  EXPECT_EQ(a.LowerBound(), 1);
  EXPECT_EQ(a.UpperBound(), 3);
  EXPECT_EQ(a.At(0).vt(), VT_BSTR);  // typed elements start as empty strings
  EXPECT_EQ(a.Put(0, Variant::Str("a")), DISP_E_BADINDEX);
  EXPECT_EQ(a.Put(4, Variant::Str("a")), DISP_E_BADINDEX);
  EXPECT_EQ(a.Put(3, Variant::I4(1)), DISP_E_TYPEMISMATCH);
  ASSERT_EQ(a.Put(3, Variant::Str("c")), S_OK);
  Variant out;
  ASSERT_EQ(a.Get(3, &out), S_OK);
  EXPECT_EQ(out.bstr().ToUtf8(), "c");
}

TEST(Variant, ChangeTypeFollowsAutomationRules) {
  struct Case {
    Variant in;
    VARTYPE to;
    HRESULT hr;
    Variant want;
  } cases[] = {
      {Variant::Str("42"), VT_I4, S_OK, Variant::I4(42)},
      {Variant::Str(" 2.5 "), VT_R8, S_OK, Variant::R8(2.5)},
      {Variant::Str("abc"), VT_I4, DISP_E_TYPEMISMATCH, Variant()},
      {Variant::Str("True"), VT_BOOL, S_OK, Variant::Bool(true)},
      {Variant::R8(2.5), VT_I4, S_OK, Variant::I4(2)},  // half to even
      {Variant::R8(3.5), VT_I4, S_OK, Variant::I4(4)},
      {Variant::R8(1e10), VT_I4, DISP_E_OVERFLOW, Variant()},
      {Variant::I4(70000), VT_I2, DISP_E_OVERFLOW, Variant()},
      {Variant::I4(-1), VT_BOOL, S_OK, Variant::Bool(true)},
      {Variant::Bool(true), VT_I4, S_OK, Variant::I4(-1)},
      {Variant::Bool(false), VT_BSTR, S_OK, Variant::Str("False")},
      {Variant::I4(-5), VT_BSTR, S_OK, Variant::Str("-5")},
      {Variant::R8(0.1), VT_BSTR, S_OK, Variant::Str("0.1")},
      {Variant(), VT_I4, S_OK, Variant::I4(0)},
      {Variant(), VT_BSTR, S_OK, Variant::Str("")},
      {Variant::Null(), VT_I4, DISP_E_TYPEMISMATCH, Variant()},
      {Variant::Date(45658.5), VT_R8, S_OK, Variant::R8(45658.5)},
      {Variant::I2(3), VT_VARIANT, S_OK, Variant::I2(3)},
  };
  for (const auto& c : cases) {
    Variant out;
    EXPECT_EQ(ChangeType(c.in, c.to, &out), c.hr) << "to vt " << c.to;
    if (c.hr == S_OK) {
      EXPECT_EQ(out, c.want) << "to vt " << c.to;
    }
  }
}

TEST(Variant, ByRefReadsThroughToTarget) {
  Variant target = Variant::I4(9);
  Variant ref = Variant::ByRef(&target);
  EXPECT_EQ(ref.vt(), VT_BYREF | VT_VARIANT);
  Variant out;
  ASSERT_EQ(ChangeType(ref, VT_BSTR, &out), S_OK);
  EXPECT_EQ(out.bstr().ToUtf8(), "9");
}

TEST(Variant, StringListsKeepTheListShape) {
  EXPECT_TRUE(StringListVariant({}).IsEmpty());
  Variant one = StringListVariant({"Flow1"});
  ASSERT_EQ(one.vt(), VT_ARRAY | VT_VARIANT);
  EXPECT_EQ(one.array().LowerBound(), 0);
  EXPECT_EQ(one.array().UpperBound(), 0);
  std::vector<std::string> back;
  ASSERT_TRUE(VariantToStringList(StringListVariant({"a", "b\\c"}), &back));
  EXPECT_EQ(back, (std::vector<std::string>{"a", "b\\c"}));
  EXPECT_FALSE(VariantToStringList(Variant::I4(1), &back));
}

class Thing : public ComObject<IDispatch> {
 public:
  Thing() {
    table_.Add({"Name", 1, [this](auto&, Variant* r) { *r = Variant::Str(name_); return S_OK; },
                [this](auto& args) {
                  Variant s;
                  HRESULT hr = ChangeType(args.back(), VT_BSTR, &s);
                  if (SUCCEEDED(hr)) name_ = s.bstr().ToUtf8();
                  return hr;
                }});
    table_.Add({"Twice", 2, [](auto& args, Variant* r) {
                  if (args.size() != 1) return DISP_E_BADPARAMCOUNT;
                  args[0] = Variant::I4(args[0].i4() * 2);  // in/out parameter
                  *r = Variant::Bool(true);
                  return S_OK;
                }, nullptr, true});
  }
  HRESULT GetIDsOfNames(std::string_view n, DISPID* id) override { return table_.GetIDsOfNames(n, id); }
  HRESULT Invoke(DISPID id, uint16_t f, std::vector<Variant>& a, Variant* r) override {
    return table_.Invoke(id, f, a, r);
  }
  static inline int alive = 0;
  ~Thing() override { --alive; }

 private:
  DispatchTable table_;
  std::string name_;
};

TEST(Dispatch, PropertiesAndMethodsByName) {
  ComPtr<Thing> t = MakeCom<Thing>();
  Thing::alive = 1;
  ASSERT_EQ(PutProperty(t.Get(), "NAME", Variant::I4(12)), S_OK);  // names ignore case; value coerced
  Variant v;
  ASSERT_EQ(GetProperty(t.Get(), "name", &v), S_OK);
  EXPECT_EQ(v, Variant::Str("12"));
  std::vector<Variant> args{Variant::I4(21)};
  ASSERT_EQ(CallMethod(t.Get(), "Twice", args, &v), S_OK);
  EXPECT_EQ(args[0], Variant::I4(42));
  EXPECT_EQ(GetProperty(t.Get(), "Missing", &v), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(PutProperty(t.Get(), "Twice", Variant::I4(1)), DISP_E_MEMBERNOTFOUND);
  std::vector<Variant> none;
  EXPECT_EQ(t->Invoke(99, DISPATCH_METHOD, none, &v), DISP_E_MEMBERNOTFOUND);

  Variant holder = Variant::Dispatch(t);
  t = nullptr;
  EXPECT_EQ(Thing::alive, 1);  // the Variant still holds a reference
  holder.Clear();
  EXPECT_EQ(Thing::alive, 0);
}

}  // namespace
}  // namespace kv::com
