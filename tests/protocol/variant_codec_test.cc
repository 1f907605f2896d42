#include "protocol/variant_codec.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <map>

#include "com/dispatch.h"
#include "protocol/message_pad.h"
#include "protocol/wire_names.h"

namespace kv::protocol {
namespace {

using com::SafeArray;
using com::Variant;

class Thing : public com::ComObject<com::IDispatch> {
 public:
  com::HRESULT GetIDsOfNames(std::string_view, com::DISPID*) override { return com::DISP_E_UNKNOWNNAME; }
  com::HRESULT Invoke(com::DISPID, uint16_t, std::vector<Variant>&, Variant*) override { return com::DISP_E_MEMBERNOTFOUND; }
};

class Plain : public com::ComObject<com::IUnknown> {};

// Paths as a client's object table would hand them out.
class FakePaths : public ObjectPaths {
 public:
  std::string PathOf(const com::ComPtr<com::IUnknown>& obj) override {
    for (auto& [path, o] : held)
      if (o.Get() == obj.Get()) return path;
    std::string path = std::string(kObjectPathPrefix) + std::to_string(held.size() + 1);
    held[path] = obj;
    return path;
  }
  bool ObjectAt(const std::string& path, com::ComPtr<com::IUnknown>* obj) override {
    auto it = held.find(path);
    if (it == held.end()) return false;
    *obj = it->second;
    return true;
  }
  std::map<std::string, com::ComPtr<com::IUnknown>> held;
};

Variant ArrayOf(com::VARTYPE elemVt, int32_t lbound, std::vector<Variant> items) {
  SafeArray a(elemVt, lbound, items.size());
  for (size_t i = 0; i < items.size(); ++i) a.At(i) = std::move(items[i]);
  return Variant::Array(std::move(a));
}

// VT_ARRAY|VT_VARIANT arrays nested `levels` deep around one VT_I4.
Variant Nested(int levels) {
  Variant v = Variant::I4(42);
  for (int i = 0; i < levels; ++i) v = ArrayOf(com::VT_VARIANT, 0, {std::move(v)});
  return v;
}

class VariantCodec : public ::testing::Test {
 protected:
  // Writes `v` and reads it back; the read error name, or "" on success.
  std::string RoundTrip(const Variant& v, Variant* back) {
    sd_bus_message* m = pad_.Fresh();
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r = AppendVariant(m, v, &paths_, &error);
    EXPECT_GE(r, 0) << error.message;
    sd_bus_error_free(&error);
    return Read(back);
  }
  std::string Read(Variant* back) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r = ReadVariant(pad_.Sealed(), back, &paths_, &error);
    std::string name = r < 0 ? (error.name ? error.name : "?") : "";
    sd_bus_error_free(&error);
    return name;
  }

  testing::MessagePad pad_;
  FakePaths paths_;
};

TEST_F(VariantCodec, EveryVarTypeRoundTripsExactly) {
  auto thing = com::MakeCom<Thing>();
  auto plain = com::MakeCom<Plain>();
  const Variant cases[] = {
      Variant(),
      Variant::Null(),
      Variant::OfInt(com::VT_I1, -128),
      Variant::OfInt(com::VT_I1, 127),
      Variant::I2(-32768),
      Variant::I4(INT32_MIN),
      Variant::OfInt(com::VT_INT, -5),
      Variant::Error(static_cast<int32_t>(0x80020004u)),
      Variant::OfInt(com::VT_UI1, 255),
      Variant::OfInt(com::VT_UI2, 65535),
      Variant::OfInt(com::VT_UI4, 0xFFFFFFFFll),
      Variant::OfInt(com::VT_UINT, 4000000000ll),
      Variant::OfInt(com::VT_I8, INT64_MIN),
      Variant::OfInt(com::VT_UI8, -1),  // UINT64_MAX as held
      Variant::OfReal(com::VT_R4, 1.5),
      Variant::R8(0.1),
      Variant::OfReal(com::VT_CY, 12.3456),
      Variant::Date(45000.75),
      Variant::Bool(true),
      Variant::Bool(false),
      Variant::Str("h\xC3\xA9llo"),
      Variant::Str(""),
      Variant::Dispatch(nullptr),
      Variant::Unknown(nullptr),
      Variant::Dispatch(thing),
      Variant::Unknown(com::ComPtr<com::IUnknown>(plain.Get())),
      ArrayOf(com::VT_I4, 1, {Variant::I4(1), Variant::I4(2), Variant::I4(3)}),
      ArrayOf(com::VT_BSTR, 0, {}),
      ArrayOf(com::VT_DISPATCH, -2, {Variant::Dispatch(thing), Variant::Dispatch(nullptr)}),
      ArrayOf(com::VT_VARIANT, 0, {Variant::Str("a"), Variant::Null(), Variant::R8(2.5), Nested(2)}),
      Nested(kMaxArrayDepth),
  };
  for (const Variant& v : cases) {
    SCOPED_TRACE(::testing::Message() << "VARTYPE " << v.vt());
    Variant back;
    EXPECT_EQ(RoundTrip(v, &back), "");
    EXPECT_EQ(back, v);
  }
}

TEST_F(VariantCodec, NullStringComesBackEmptyAndByRefTravelsAsItsTarget) {
  Variant back;
  ASSERT_EQ(RoundTrip(Variant::Str(com::Bstr::Null()), &back), "");
  EXPECT_EQ(back.vt(), com::VT_BSTR);
  EXPECT_FALSE(back.bstr().IsNull());
  EXPECT_EQ(back.bstr().Length(), 0u);

  Variant target = Variant::I4(9);
  ASSERT_EQ(RoundTrip(Variant::ByRef(&target), &back), "");
  EXPECT_EQ(back, target);
}

TEST_F(VariantCodec, ObjectsTravelAsPathsAndTheSameObjectKeepsItsPath) {
  auto thing = com::MakeCom<Thing>();
  sd_bus_message* m = pad_.Fresh();
  ASSERT_GE(AppendVariantList(m, {Variant::Dispatch(thing), Variant::Dispatch(thing), Variant::Dispatch(nullptr)}, &paths_, nullptr), 0);
  const char *a, *b, *c;
  uint16_t q1, q2, q3;
  ASSERT_GE(sd_bus_message_read(pad_.Sealed(), "a(qv)", 3, &q1, "o", &a, &q2, "o", &b, &q3, "o", &c), 0);
  EXPECT_EQ(paths_.held.size(), 1u);
  EXPECT_STREQ(a, b);
  EXPECT_STREQ(c, "/");
}

TEST_F(VariantCodec, ArraysDeeperThanTheLimitAreRefusedWhenWritten) {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  EXPECT_LT(AppendVariant(pad_.Fresh(), Nested(kMaxArrayDepth + 1), &paths_, &error), 0);
  EXPECT_STREQ(error.name, kErrorFailed);
  sd_bus_error_free(&error);
}

TEST_F(VariantCodec, MalformedValuesAreRefusedWithTheirErrorName) {
  auto plain = com::MakeCom<Plain>();
  paths_.held["/com/quorlith/Kelvarin/obj/7"] = com::ComPtr<com::IUnknown>(plain.Get());
  struct Case {
    const char* what;
    std::function<void(sd_bus_message*)> build;
    const char* error;
  };
  const Case cases[] = {
      {"value of the wrong type", [](sd_bus_message* m) { sd_bus_message_append(m, "(qv)", com::VT_I4, "s", "x"); }, kErrorInvalidArgs},
      {"unknown VARTYPE", [](sd_bus_message* m) { sd_bus_message_append(m, "(qv)", 0x0FFF, "y", 0); }, kErrorInvalidArgs},
      {"by-reference VARTYPE", [](sd_bus_message* m) { sd_bus_message_append(m, "(qv)", com::VT_BYREF | com::VT_I4, "i", 1); }, kErrorInvalidArgs},
      {"bare VT_VARIANT", [](sd_bus_message* m) { sd_bus_message_append(m, "(qv)", com::VT_VARIANT, "y", 0); }, kErrorInvalidArgs},
      {"VT_I1 out of range", [](sd_bus_message* m) { sd_bus_message_append(m, "(qv)", com::VT_I1, "n", 200); }, kErrorInvalidArgs},
      {"typed array with a foreign element",
       [](sd_bus_message* m) {
         sd_bus_message_append(m, "(qv)", com::VT_ARRAY | com::VT_I4, "(ia(qv))", 0, 1, com::VT_BSTR, "s", "x");
       },
       kErrorInvalidArgs},
      {"array of VT_EMPTY", [](sd_bus_message* m) { sd_bus_message_append(m, "(qv)", com::VT_ARRAY, "(ia(qv))", 0, 0); }, kErrorInvalidArgs},
      {"array without its bound", [](sd_bus_message* m) { sd_bus_message_append(m, "(qv)", com::VT_ARRAY | com::VT_I4, "a(qv)", 0); }, kErrorInvalidArgs},
      {"not a variant at all", [](sd_bus_message* m) { sd_bus_message_append(m, "s", "x"); }, kErrorInvalidArgs},
      {"path not held", [](sd_bus_message* m) { sd_bus_message_append(m, "(qv)", com::VT_DISPATCH, "o", "/com/quorlith/Kelvarin/obj/99"); }, kErrorUnknownObjectArg},
      {"object without IDispatch as VT_DISPATCH",
       [](sd_bus_message* m) { sd_bus_message_append(m, "(qv)", com::VT_DISPATCH, "o", "/com/quorlith/Kelvarin/obj/7"); },
       kErrorInvalidArgs},
      {"arrays nested too deep", [](sd_bus_message* m) { testing::AppendRawNested(m, kMaxArrayDepth + 1); }, kErrorInvalidArgs},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.build(pad_.Fresh());
    Variant out;
    EXPECT_EQ(Read(&out), c.error);
  }
  testing::AppendRawNested(pad_.Fresh(), kMaxArrayDepth);
  Variant out;
  EXPECT_EQ(Read(&out), "");
  EXPECT_EQ(out, Nested(kMaxArrayDepth));
}

TEST_F(VariantCodec, ListsKeepOrderAndRefuseABadElement) {
  std::vector<Variant> list{Variant::I4(1), Variant::Str("two"), ArrayOf(com::VT_R8, 0, {Variant::R8(3)})};
  sd_bus_message* m = pad_.Fresh();
  ASSERT_GE(AppendVariantList(m, list, &paths_, nullptr), 0);
  std::vector<Variant> back;
  ASSERT_GE(ReadVariantList(pad_.Sealed(), &back, &paths_, nullptr), 0);
  EXPECT_EQ(back, list);

  sd_bus_message_append(pad_.Fresh(), "a(qv)", 2, com::VT_I4, "i", 1, com::VT_I4, "s", "x");
  sd_bus_error error = SD_BUS_ERROR_NULL;
  EXPECT_LT(ReadVariantList(pad_.Sealed(), &back, &paths_, &error), 0);
  EXPECT_STREQ(error.name, kErrorInvalidArgs);
  sd_bus_error_free(&error);
}

}  // namespace
}  // namespace kv::protocol
