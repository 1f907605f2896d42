// The script-parameter operations: exact free names, binding to tags on the listed hosts, the
// unused and unbound lists, parameter details, and the parameter checks.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/script_names.h"
#include "engine_fixture.h"

namespace kv::engine {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using com::Variant;

std::vector<std::string> List(const Variant& v) {
  std::vector<std::string> out;
  if (!v.IsEmpty()) {
    EXPECT_TRUE(com::VariantToStringList(v, &out));
  }
  return out;
}

struct NamesCase {
  const char* script;
  std::vector<std::string> globals;
};

TEST(ScriptNamesTest, FreeNamesAreExactlyTheGlobals) {
  const NamesCase cases[] = {
      {"local x = a + b\nOut = x", {"Out", "a", "b"}},
      {"local function f(p) local q = p * k return q end\nreturn f(1)", {"k"}},
      {"local s = 'a + b' .. [[c d]] -- e f\nreturn s", {}},
      {"t.field = 1\nreturn t.other.deep", {"t"}},
      {"::top:: if x then goto done end ::done:: return y", {"x", "y"}},
      {"for i = 1, n do total = (total or 0) + i end", {"n", "total"}},
      {"local t = {key = v, [w] = 1}\nreturn function() return t, up end", {"up", "v", "w"}},
      {"repeat local r = 1 until r and stop", {"stop"}},
      {"local c <const> = 5 return c * m", {"m"}},
  };
  for (const NamesCase& c : cases) {
    SCOPED_TRACE(c.script);
    ScriptNames names;
    std::string error;
    ASSERT_TRUE(AnalyzeScript(c.script, "S", &names, &error)) << error;
    EXPECT_EQ(names.globals, c.globals);
  }
}

TEST(ScriptNamesTest, ReadsWritesAndLibraryFields) {
  ScriptNames names;
  std::string error;
  ASSERT_TRUE(AnalyzeScript("Out = Stats.Mean(a, b)\nacc = acc + 1", "S", &names, &error)) << error;
  EXPECT_THAT(names.written, ElementsAre("Out", "acc"));
  EXPECT_THAT(names.read, ElementsAre("Stats", "a", "acc", "b"));
  EXPECT_THAT(names.fields, ElementsAre(std::make_pair(std::string("Stats"), std::string("Mean"))));
  EXPECT_FALSE(AnalyzeScript("x = = 1", "S", &names, &error));
  EXPECT_EQ(error, "S:1: unexpected symbol near '='");
}

class ScriptParamsTest : public testing::EngineFixture {
 protected:
  void SetUp() override {
    EngineFixture::SetUp();
    SetTag("Plant1", "a", 1.0, "C");
    SetTag("plant2", "b", int64_t{2});
    SetTag("Plant2", "Out", 0.0);
    SetTag("Plant2", "acc", 0.0);
  }
};

struct ParamsCase {
  const char* script;
  const char* hosts;
  std::vector<std::string> unused, unbound, created;
};

TEST_F(ScriptParamsTest, CreateParamsBindsTagsAndReportsUnusedAndUnbound) {
  const ParamsCase cases[] = {
      {"Out = Stats.Mean(a, b)", "Plant1; PLANT2", {"old"}, {}, {"a", "b", "Out"}},
      {"Out = Stats.Mean(a, b)", "Plant1", {"old"}, {"Out", "b"}, {"a"}},
      {"Out = Stats.Mean(a, b)", "", {"old"}, {"Out", "a", "b"}, {}},
      {"local a = 1 -- b\nlocal s = 'Out'\nreturn a + old", "Plant1,Plant2", {}, {}, {}},
      {"local function f(x) return x * k end ::l:: return f(a) + t.f", "Plant1", {"old"}, {"k", "t"}, {"a"}},
      {"acc = acc + 1", "Plant2", {"old"}, {}, {"acc"}},
  };
  for (const ParamsCase& c : cases) {
    SCOPED_TRACE(c.script);
    auto calc = com::MakeCom<ZrCalculation>();
    calc->SetScript(c.script);
    AddParam(calc.Get(), "old", components::kParamIn, 0, "", "", "", Variant::I4(1));
    Variant unused, unbound;
    ASSERT_EQ(calc->CreateParams(Bstr::FromUtf8(c.hosts), &unused, &unbound), com::S_OK);
    EXPECT_EQ(List(unused), c.unused);
    EXPECT_EQ(List(unbound), c.unbound);
    std::vector<std::string> created = calc->Parameters()->Names();
    created.erase(created.begin());  // "old" is kept
    EXPECT_THAT(created, ::testing::UnorderedElementsAreArray(c.created));
  }
}

TEST_F(ScriptParamsTest, CreatedParametersCarryServerDirectionAndUnits) {
  auto calc = com::MakeCom<ZrCalculation>();
  calc->SetScript("Out = Stats.Mean(a, b)\nacc = acc + 1");
  Variant unused, unbound;
  ASSERT_EQ(calc->CreateParams(Bstr::FromUtf8("Plant1;Plant2"), &unused, &unbound), com::S_OK);
  EXPECT_THAT(calc->Libraries(), ElementsAre("Stats"));
  const ParameterFields a = calc->Parameters()->Find("a")->Fields();
  EXPECT_EQ(a.kind, components::kParamTag);
  EXPECT_EQ(a.serverName, "Plant1");
  EXPECT_EQ(a.units, "C");
  EXPECT_EQ(a.direction, components::kParamIn);
  EXPECT_EQ(calc->Parameters()->Find("Out")->Fields().direction, components::kParamOut);
  EXPECT_EQ(calc->Parameters()->Find("acc")->Fields().direction, components::kParamInOut);

  // The calculation now runs against the tags.
  calc->Calculate();
  EXPECT_EQ(calc->Level(), components::kLevelOk) << calc->ErrorText();
  EXPECT_EQ(calc->Result(), Variant::R8(1.5));

  Variant details;
  ASSERT_EQ(calc->GetParameterDetails(&details), com::S_OK);
  ASSERT_EQ(details.vt(), com::VT_ARRAY | com::VT_VARIANT);
  ASSERT_EQ(details.array().Count(), 4u);
  const Variant& row = details.array().At(0);
  ASSERT_EQ(row.array().Count(), 8u);
  EXPECT_EQ(row.array().At(0), Variant::Str("Out"));
  EXPECT_EQ(row.array().At(1), Variant::I4(components::kParamOut));
  EXPECT_EQ(row.array().At(3), Variant::Str("Plant2"));
  EXPECT_EQ(row.array().At(7), Variant::R8(1.5));
}

TEST_F(ScriptParamsTest, CreateParamsOnABrokenScriptFails) {
  auto calc = com::MakeCom<ZrCalculation>();
  calc->SetScript("Out = (");
  Variant unused = Variant::I4(1), unbound = Variant::I4(1);
  EXPECT_EQ(calc->CreateParams(Bstr::FromUtf8("Plant1"), &unused, &unbound), components::E_FORMULA_INVALID);
  EXPECT_TRUE(unused.IsEmpty());
  EXPECT_TRUE(unbound.IsEmpty());
}

TEST_F(ScriptParamsTest, ValidateAndChangeServer) {
  auto calc = com::MakeCom<ZrCalculation>();
  AddParam(calc.Get(), "ok", components::kParamIn, components::kParamTag, "PLANT1", "a", "F");
  AddParam(calc.Get(), "gone", components::kParamIn, components::kParamTag, "Plant1", "nope");
  AddParam(calc.Get(), "units", components::kParamIn, components::kParamTag, "Plant1", "a", "bar");
  AddParam(calc.Get(), "calc", components::kParamIn, components::kParamCalculation, "", "", "", Variant(), "Missing");
  auto check = [&](const char* name, long units) {
    Bstr msg;
    EXPECT_EQ(calc->Parameters()->Find(name)->ValidateParameterUnits(units, &msg), com::S_OK);
    return msg.ToUtf8();
  };
  EXPECT_EQ(check("ok", -1), "");
  EXPECT_EQ(check("gone", 0), "Parameter gone: tag Plant1/nope does not exist");
  EXPECT_EQ(check("units", 0), "");
  EXPECT_EQ(check("units", -1), "Parameter units: units bar are not in the units table");
  EXPECT_EQ(check("calc", 0), "Parameter calc: calculation Missing not found");

  auto ok = calc->Parameters()->Find("ok");
  EXPECT_EQ(ok->ChangeServer(Bstr::FromUtf8("plant1"), 0, Bstr::FromUtf8("Plant9"), 0), com::S_OK);
  Bstr server;
  ok->GetServerName(&server);
  EXPECT_EQ(server.ToUtf8(), "Plant9");
  EXPECT_EQ(calc->Parameters()->Find("calc")->ChangeServer(Bstr::FromUtf8(""), 0, Bstr::FromUtf8("X"), 0),
            com::E_FAIL);
}

TEST_F(ScriptParamsTest, ReferencesToCalculationsAndFormulas) {
  auto calc = com::MakeCom<ZrCalculation>();
  calc->SetScript("local Other = 1\nreturn Stats.Mean(a, b) + Other");
  AddParam(calc.Get(), "s", components::kParamIn, components::kParamCalculation, "", "", "", Variant(), "Src");
  auto refers = [&](const char* lib, const char* formula) {
    com::VARIANT_BOOL b = 0;
    EXPECT_EQ(calc->RefersToFormula(Bstr::FromUtf8(lib), formula ? Bstr::FromUtf8(formula) : Bstr(), &b), com::S_OK);
    return b == com::VARIANT_TRUE;
  };
  EXPECT_TRUE(refers("Stats", "Mean"));
  EXPECT_TRUE(refers("Stats", nullptr));
  EXPECT_FALSE(refers("Stats", "Max"));
  EXPECT_FALSE(refers("Other", nullptr));
  com::VARIANT_BOOL b = 0;
  calc->RefersToCalculation(Bstr::FromUtf8("Src"), &b);
  EXPECT_EQ(b, com::VARIANT_TRUE);
  calc->RefersToCalculation(Bstr::FromUtf8("src"), &b);
  EXPECT_EQ(b, com::VARIANT_FALSE);
}

}  // namespace
}  // namespace kv::engine

namespace kv::engine {
namespace {

TEST(CalcParameterXmlTest, LoadXmlTakesTypedAndHandWrittenValues) {
  struct Case {
    const char* xml;
    com::Variant value;
  } cases[] = {
      {"<Parameter><Name>a</Name><Value>7</Value></Parameter>", com::Variant::I4(7)},
      {"<Parameter><Value>2.5</Value></Parameter>", com::Variant::R8(2.5)},
      {"<Parameter><Value>open</Value></Parameter>", com::Variant::Str("open")},
      {"<Parameter><Value type=\"8\">12</Value></Parameter>", com::Variant::Str("12")},
      {"<Parameter><Value></Value></Parameter>", com::Variant()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.xml);
    auto p = com::MakeCom<CalcParameter>("a", com::Variant::I4(1), "");
    ASSERT_EQ(p->LoadXML(Bstr::FromUtf8(c.xml)), com::S_OK);
    EXPECT_EQ(p->Value(), c.value);
    EXPECT_EQ(p->Name(), "a");
  }
  auto p = com::MakeCom<CalcParameter>("a", com::Variant::I4(1), "");
  EXPECT_EQ(p->LoadXML(Bstr::FromUtf8("<Parameter><Value type=\"3\">x</Value></Parameter>")), com::E_INVALIDARG);
  EXPECT_EQ(p->Value(), com::Variant::I4(1));
  Bstr xml;
  ASSERT_EQ(p->SaveXML(&xml), com::S_OK);
  auto back = com::MakeCom<CalcParameter>();
  ASSERT_EQ(back->LoadXML(xml), com::S_OK);
  EXPECT_EQ(back->Name(), "a");
  EXPECT_EQ(back->Value(), com::Variant::I4(1));
}

}  // namespace
}  // namespace kv::engine
