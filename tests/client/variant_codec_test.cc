#include "client/variant_codec.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <limits>

#include "message_bus.h"

namespace kv::client {
namespace {

using com::Variant;
using testing::FakePaths;
using testing::MessageBus;

class NullDispatch : public com::ComObject<com::IDispatch> {
 public:
  com::HRESULT GetIDsOfNames(std::string_view, com::DISPID*) override { return com::E_NOTIMPL; }
  com::HRESULT Invoke(com::DISPID, uint16_t, std::vector<Variant>&, Variant*) override { return com::E_NOTIMPL; }
};

class VariantCodecTest : public ::testing::Test {
 protected:
  VariantCodecTest() { paths.objects["/obj/1"] = com::MakeCom<NullDispatch>(); }

  // Appends `v`, seals, and reads it back; the carrier signature of the value lands in *sig.
  int RoundTrip(const Variant& v, Variant* out, std::string* sig = nullptr) {
    sd_bus_message* m = bus.NewMessage();
    int r = AppendVariant(m, v, paths);
    if (r >= 0) {
      MessageBus::Seal(m);
      if (sig) {
        char type;
        const char* contents = nullptr;
        sd_bus_message_enter_container(m, 'r', "qv");
        sd_bus_message_skip(m, "q");
        sd_bus_message_peek_type(m, &type, &contents);
        *sig = contents ? contents : "";
        sd_bus_message_rewind(m, 1);
      }
      r = ReadVariant(m, out, paths);
    }
    sd_bus_message_unref(m);
    return r;
  }

  // Reads a (qv) written raw by `fill`.
  template <class Fill>
  int ReadRaw(Fill fill, Variant* out) {
    sd_bus_message* m = bus.NewMessage();
    fill(m);
    MessageBus::Seal(m);
    int r = ReadVariant(m, out, paths);
    sd_bus_message_unref(m);
    return r;
  }

  static Variant Array(com::VARTYPE elem, int32_t lb, std::vector<Variant> items) {
    com::SafeArray a(elem, lb, items.size());
    for (size_t i = 0; i < items.size(); ++i) a.At(i) = std::move(items[i]);
    return Variant::Array(std::move(a));
  }

  MessageBus bus;
  FakePaths paths;
};

TEST_F(VariantCodecTest, EveryTypeRoundTripsWithItsCarrier) {
  struct Case {
    Variant value;
    const char* carrier;
  };
  const Case cases[] = {
      {Variant(), "y"},
      {Variant::Null(), "y"},
      {Variant::I2(-5), "n"},
      {Variant::I4(std::numeric_limits<int32_t>::min()), "i"},
      {Variant::R8(0.1), "d"},
      {Variant::Date(45292.25), "d"},
      {Variant::Bool(true), "b"},
      {Variant::Bool(false), "b"},
      {Variant::Str("h\xc3\xa9llo"), "s"},
      {Variant::Str(""), "s"},
      {Variant::Error(static_cast<int32_t>(0x80004005u)), "i"},
      {Variant::OfInt(com::VT_UI1, 200), "y"},
      {Variant::OfInt(com::VT_I1, -3), "n"},
      {Variant::OfInt(com::VT_UI2, 65535), "q"},
      {Variant::OfInt(com::VT_UI4, 4000000000), "u"},
      {Variant::OfInt(com::VT_INT, -7), "i"},
      {Variant::OfInt(com::VT_UINT, 7), "u"},
      {Variant::OfInt(com::VT_I8, std::numeric_limits<int64_t>::min()), "x"},
      {Variant::OfInt(com::VT_UI8, -1), "t"},
      {Variant::OfReal(com::VT_R4, 1.5), "d"},
      {Variant::OfReal(com::VT_CY, 12.3456), "d"},
      {Variant::Dispatch(paths.objects["/obj/1"]), "o"},
      {Variant::Dispatch(nullptr), "o"},
      {Variant::Unknown(com::ComPtr<com::IUnknown>(paths.objects["/obj/1"].Get())), "o"},
      {Array(com::VT_BSTR, 1, {Variant::Str("a"), Variant::Str("b")}), "(ia(qv))"},
      {Array(com::VT_VARIANT, -2, {Variant::I4(1), Variant(), Array(com::VT_VARIANT, 0, {Variant::Str("x")})}),
       "(ia(qv))"},
      {Array(com::VT_R8, 0, {}), "(ia(qv))"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "vt " << c.value.vt() << " " << c.carrier);
    Variant out;
    std::string sig;
    ASSERT_EQ(RoundTrip(c.value, &out, &sig), 0);
    EXPECT_EQ(sig, c.carrier);
    EXPECT_EQ(out, c.value);
  }
}

TEST_F(VariantCodecTest, NullStringArrivesEmpty) {
  Variant out;
  ASSERT_EQ(RoundTrip(Variant::Str(com::Bstr::Null()), &out), 0);
  EXPECT_EQ(out, Variant::Str(""));
  EXPECT_FALSE(out.bstr().IsNull());
}

TEST_F(VariantCodecTest, ByRefTravelsAsItsTarget) {
  Variant target = Variant::I4(9), out;
  ASSERT_EQ(RoundTrip(Variant::ByRef(&target), &out), 0);
  EXPECT_EQ(out, Variant::I4(9));
}

TEST_F(VariantCodecTest, ValuesThatCannotTravelAreRefused) {
  Variant out;
  EXPECT_EQ(RoundTrip(Variant::ByRef(nullptr), &out), -EINVAL);
  EXPECT_EQ(RoundTrip(Variant::Dispatch(com::MakeCom<NullDispatch>()), &out), -EINVAL) << "an object without a path";
  Variant deep = Variant::I4(1);
  for (int i = 0; i < kMaxArrayNesting; ++i) deep = Array(com::VT_VARIANT, 0, {deep});
  ASSERT_EQ(RoundTrip(deep, &out), 0);
  EXPECT_EQ(out, deep);
  EXPECT_EQ(RoundTrip(Array(com::VT_VARIANT, 0, {deep}), &out), -EINVAL);
}

TEST_F(VariantCodecTest, NumbersReadFromAnyCarrier) {
  Variant out;
  ASSERT_EQ(ReadRaw([](sd_bus_message* m) { sd_bus_message_append(m, "(qv)", com::VT_I4, "x", int64_t{7}); }, &out), 0);
  EXPECT_EQ(out, Variant::I4(7));
  ASSERT_EQ(ReadRaw([](sd_bus_message* m) { sd_bus_message_append(m, "(qv)", com::VT_R8, "i", int32_t{-2}); }, &out), 0);
  EXPECT_EQ(out, Variant::R8(-2));
  ASSERT_EQ(ReadRaw([](sd_bus_message* m) { sd_bus_message_append(m, "(qv)", com::VT_BOOL, "y", uint8_t{1}); }, &out), 0);
  EXPECT_EQ(out, Variant::Bool(true));
}

TEST_F(VariantCodecTest, MismatchedPayloadsAreBadMessages) {
  struct Case {
    const char* what;
    void (*fill)(sd_bus_message*);
  };
  const Case cases[] = {
      {"string typed, integer carried", [](sd_bus_message* m) { sd_bus_message_append(m, "(qv)", com::VT_BSTR, "i", 1); }},
      {"object typed, string carried", [](sd_bus_message* m) { sd_bus_message_append(m, "(qv)", com::VT_DISPATCH, "s", "/x"); }},
      {"unknown type", [](sd_bus_message* m) { sd_bus_message_append(m, "(qv)", 0x99, "i", 1); }},
      {"variant without array", [](sd_bus_message* m) { sd_bus_message_append(m, "(qv)", com::VT_VARIANT, "i", 1); }},
      {"array with a scalar payload",
       [](sd_bus_message* m) { sd_bus_message_append(m, "(qv)", com::VT_ARRAY | com::VT_I4, "i", 1); }},
      {"typed array with a foreign element",
       [](sd_bus_message* m) {
         sd_bus_message_append(m, "(qv)", com::VT_ARRAY | com::VT_BSTR, "(ia(qv))", 0, 1, com::VT_I4, "i", 5);
       }},
      {"nothing there", [](sd_bus_message* m) {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Variant out;
    EXPECT_LT(ReadRaw(c.fill, &out), 0);
  }
}

TEST_F(VariantCodecTest, TypedParametersConvertOrRefuse) {
  struct Case {
    ParamType type;
    Variant in;
    int result;
    Variant back;  // what ReadTyped gives when result is 0
  };
  const Case cases[] = {
      {ParamType::Long, Variant::Str("42"), 0, Variant::I4(42)},
      {ParamType::Long, Variant::Str("x"), -EINVAL, Variant()},
      {ParamType::Double, Variant::I4(3), 0, Variant::R8(3)},
      {ParamType::Date, Variant::R8(45000.5), 0, Variant::Date(45000.5)},
      {ParamType::Bool, Variant::I4(5), 0, Variant::Bool(true)},
      {ParamType::Bstr, Variant::I4(12), 0, Variant::Str("12")},
      {ParamType::Dispatch, Variant(), 0, Variant::Dispatch(nullptr)},
      {ParamType::Dispatch, Variant::I4(1), -EINVAL, Variant()},
      {ParamType::Variant, Variant::Str("v"), 0, Variant::Str("v")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "type " << static_cast<int>(c.type) << " from vt " << c.in.vt());
    sd_bus_message* m = bus.NewMessage();
    int r = AppendTyped(m, c.type, c.in, paths);
    EXPECT_EQ(r, c.result);
    if (r == 0) {
      MessageBus::Seal(m);
      EXPECT_STREQ(sd_bus_message_get_signature(m, 1), SignatureOf(c.type));
      Variant out;
      ASSERT_EQ(ReadTyped(m, c.type, &out, paths), 0);
      EXPECT_EQ(out, c.back);
    }
    sd_bus_message_unref(m);
  }
}

}  // namespace
}  // namespace kv::client
