// Calculations that run: results by name, library formulas, units, the other kinds of input,
// the sandbox and its limits, and the context a schedule group passes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "engine/schedule_group.h"
#include "engine_fixture.h"

namespace kv::engine {
namespace {

using ::testing::HasSubstr;
using com::Variant;
using components::kParamCalculation;
using components::kParamIn;
using components::kParamOut;
using components::kParamTag;

class CalcEngineTest : public testing::EngineFixture {
 protected:
  // A calculation with the parameters every case may use: constants a = 3 and b = 5, the
  // output Out, a tag t read in Celsius from a Fahrenheit tag, s the Value of "Source".
  com::ComPtr<ZrCalculation> Make(const std::string& script) {
    auto c = com::MakeCom<ZrCalculation>();
    c->SetName(Bstr::FromUtf8("Calc"));
    c->SetScript(script);
    c->SetLibraries({"Stats"});
    AddParam(c.Get(), "a", kParamIn, 0, "", "", "", Variant::I4(3));
    AddParam(c.Get(), "b", kParamIn, 0, "", "", "", Variant::I4(5));
    AddParam(c.Get(), "Out", kParamOut);
    return c;
  }

  Variant Get(ZrCalculation* c, const char* name) {
    Variant v;
    EXPECT_EQ(com::GetProperty(c, name, &v), com::S_OK) << name;
    return v;
  }
};

struct ScriptCase {
  const char* script;
  Variant value;
  long level;
  const char* errorHas;  // "" for an empty ErrorText
};

TEST_F(CalcEngineTest, ScriptsGiveValueLevelAndErrorText) {
  SetTag("Plant1", "TempF", 212.0, "F");
  auto source = com::MakeCom<ZrCalculation>();
  source->SetName(Bstr::FromUtf8("Source"));
  source->SetScript("return 42");
  ASSERT_EQ(source->SaveFile(scratch.W("Calc\\Source.zrc")), com::S_OK);
  com::ComPtr<com::IDispatch> held;
  env->GetCalculation(Bstr::FromUtf8("Source"), Bstr(), &held);
  ASSERT_TRUE(held);
  dynamic_cast<ZrCalculation*>(held.Get())->Calculate();

  const ScriptCase cases[] = {
      {"return a * b + 1", Variant::I4(16), 0, ""},
      {"Out = a / 2", Variant::R8(1.5), 0, ""},
      {"Out = Stats.Mean(a, b) * 2", Variant::R8(8), 0, ""},
      {"return t", Variant::R8(100), 0, ""},
      {"return s + 1", Variant::I4(43), 0, ""},
      {"return 'text' .. a", Variant::Str("text3"), 0, ""},
      {"warn('low flow') return 1", Variant::I4(1), 1, "low flow"},
      {"x = = 1", Variant(), 2, "Calc:1:"},
      {"local z = 1\nreturn nil + z", Variant(), 2, "Calc:2: attempt to perform arithmetic"},
      {"error('bad input')", Variant(), 2, "Calc:1: bad input"},
      {"return os.execute('true')", Variant(), 2, "global 'os'"},
      {"return io.open('/etc/passwd')", Variant(), 2, "global 'io'"},
      {"return string.dump(tostring)", Variant(), 2, "field 'dump'"},
      {"return ('x'):dump()", Variant(), 2, "method 'dump'"},
      {"return load('return 1')()", Variant(), 2, "global 'load'"},
      {"return require('os')", Variant(), 2, "global 'require'"},
      {"collectgarbage() return 1", Variant(), 2, "global 'collectgarbage'"},
      {"math.pi = 3", Variant(), 2, "read-only"},
      {"while true do end", Variant(), 2, "instruction limit of 2000000 exceeded"},
      {"while true do pcall(function() while true do end end) end", Variant(), 2, "instruction limit"},
      {"local s = 'x' while true do s = s .. s end", Variant(), 2, "memory limit of 4096 KB exceeded"},
      {"local t = {} for i = 1, 1e9 do t[i] = {i} end", Variant(), 2, "memory limit"},
      {"Out = {1, 2}", Variant(), 2, "output Out: a table cannot be stored"},
  };
  for (const ScriptCase& c : cases) {
    SCOPED_TRACE(c.script);
    auto calc = Make(c.script);
    AddParam(calc.Get(), "t", kParamIn, kParamTag, "Plant1", "TempF", "C");
    AddParam(calc.Get(), "s", kParamIn, kParamCalculation, "", "", "", Variant(), "Source");
    EXPECT_EQ(calc->Calculate(), com::S_OK);
    const Variant value = Get(calc.Get(), "Value");
    if (c.value.vt() == com::VT_R8 && value.vt() == com::VT_R8) {
      EXPECT_NEAR(value.r8(), c.value.r8(), 1e-9);
    } else {
      EXPECT_EQ(value, c.value);
    }
    EXPECT_EQ(Get(calc.Get(), "Level"), Variant::I4(static_cast<int32_t>(c.level)));
    const std::string text = Get(calc.Get(), "ErrorText").bstr().ToUtf8();
    if (*c.errorHas) {
      EXPECT_THAT(text, HasSubstr(c.errorHas));
    } else {
      EXPECT_EQ(text, "");
    }
    EXPECT_EQ(Get(calc.Get(), "Status").vt(), com::VT_BSTR);
    EXPECT_GT(Get(calc.Get(), "LastRunTime").date(), 0);
  }
  // The thread that ran the runaways carries on.
  auto after = Make("return a + b");
  after->Calculate();
  EXPECT_EQ(Get(after.Get(), "Value"), Variant::I4(8));
}

TEST_F(CalcEngineTest, UnknownConversionIsAnErrorOfTheRun) {
  SetTag("Plant1", "Flow", 10.0, "m3/h");
  auto calc = Make("return f");
  AddParam(calc.Get(), "f", kParamIn, kParamTag, "Plant1", "Flow", "C");
  calc->Calculate();
  EXPECT_EQ(calc->Level(), components::kLevelError);
  EXPECT_THAT(calc->ErrorText(), HasSubstr("no conversion from m3/h to C"));
}

TEST_F(CalcEngineTest, OutputsReachTagsConvertedWithTimeAndHistory) {
  SetTag("Plant1", "OutF", 0.0, "F");
  auto calc = Make("Out = 100");
  calc->Parameters()->Remove("Out");
  AddParam(calc.Get(), "Out", kParamOut, kParamTag, "Plant1", "OutF", "C");
  calc->Calculate();
  ASSERT_EQ(calc->Level(), components::kLevelOk) << calc->ErrorText();
  tags::TagSample s;
  ASSERT_EQ(Store().Read("Plant1", "OutF", &s), tags::TagStatus::kOk);
  EXPECT_NEAR(std::get<double>(s.value), 212.0, 1e-9);
  EXPECT_EQ(s.quality, tags::kQualityGood);
  EXPECT_NEAR(s.time, 1765324800000 / 86400000.0 + 25569.0, 1e-9);  // the fixed clock, UTC
  EXPECT_EQ(Store().History("Plant1", "OutF", 10).size(), 2u);
  // The run's Value is the first output as the script left it (Celsius).
  EXPECT_EQ(calc->Result(), Variant::I4(100));
}

// Without a returned value, Value is the first output's in parameter order, whether this run set
// it or kept it.
TEST_F(CalcEngineTest, ValueIsTheFirstOutputSetOrKept) {
  struct Case {
    const char* script;
    Variant value;
  } cases[] = {
      {"Second = 1", Variant::I4(7)},
      {"First = 2 Second = 1", Variant::I4(2)},
      {"First = 2", Variant::I4(2)},
      {"Second = 1 return 5", Variant::I4(5)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    auto calc = Make(c.script);
    calc->Parameters()->Remove("Out");
    AddParam(calc.Get(), "First", kParamOut, components::kParamConstant, "", "", "", Variant::I4(7));
    AddParam(calc.Get(), "Second", kParamOut);
    calc->Calculate();
    ASSERT_EQ(calc->Level(), components::kLevelOk) << calc->ErrorText();
    EXPECT_EQ(calc->Result(), c.value);
  }
}

// A client's late-bound Calculate writes tags as the execution commands do: it needs the
// execution right, with or without a context.
TEST_F(CalcEngineTest, ALateBoundCalculateNeedsTheExecutionRight) {
  SetTag("Plant1", "Out", 0.0, "");
  auto calc = Make("Out = 7");
  calc->Parameters()->Remove("Out");
  AddParam(calc.Get(), "Out", kParamOut, kParamTag, "Plant1", "Out", "");
  objects.callerMayRun = false;
  for (std::vector<Variant> args : {std::vector<Variant>{}, std::vector<Variant>{Variant::Str("ctx")}}) {
    EXPECT_EQ(com::CallMethod(calc.Get(), "Calculate", args, nullptr), com::E_ACCESSDENIED);
    tags::TagSample s;
    ASSERT_EQ(Store().Read("Plant1", "Out", &s), tags::TagStatus::kOk);
    EXPECT_EQ(s.value, tags::TagValue(0.0));
  }
  objects.callerMayRun = true;
  std::vector<Variant> none;
  ASSERT_EQ(com::CallMethod(calc.Get(), "Calculate", none, nullptr), com::S_OK);
  tags::TagSample s;
  ASSERT_EQ(Store().Read("Plant1", "Out", &s), tags::TagStatus::kOk);
  EXPECT_EQ(s.value, tags::TagValue(int64_t{7}));
}

TEST_F(CalcEngineTest, EachRunStartsWithoutTheGlobalsOfTheLastRun) {
  auto calc = Make("if Stash ~= nil or a ~= 3 then error('stale globals') end Stash = 1 a = 10 return 1");
  for (int run = 0; run < 3; ++run) {
    calc->Calculate();
    ASSERT_EQ(calc->Level(), components::kLevelOk) << "run " << run << ": " << calc->ErrorText();
  }
  // Runs on one thread share a state: what another calculation left, even one that failed or was
  // stopped at its limit, is not there either.
  auto checker = Make("if Stash ~= nil or Other ~= nil or Context ~= nil and Context ~= '' then error('stale') end");
  for (const char* script : {"Stash = 1 Other = {} error('fails')", "Stash = 1 while true do end",
                             "Stash = 1 Other = {1, 2} return 1"}) {
    auto writer = Make(script);
    writer->Calculate();
    checker->Calculate();
    EXPECT_EQ(checker->Level(), components::kLevelOk) << script << ": " << checker->ErrorText();
  }
}

// A run keeps what it found of the calculation for the next; every way of changing the
// calculation or a parameter between two runs must reach the next run.
TEST_F(CalcEngineTest, EveryChangeBetweenRunsReachesTheNextRun) {
  SetTag("Plant1", "Flow", 7.0);
  SetTag("Plant2", "Flow", 70.0);
  using Change = std::function<void(ZrCalculation*)>;
  auto param = [](ZrCalculation* c, const char* name) { return c->Parameters()->Find(name); };
  struct Case {
    const char* what;
    const char* script;
    Change change;
    Variant after;
  };
  const Case cases[] = {
      {"SetValue", "return a + b", [&](ZrCalculation* c) { param(c, "a")->SetValue(Variant::I4(10)); },
       Variant::I4(15)},
      {"Value put by name", "return a + b",
       [&](ZrCalculation* c) { com::PutProperty(param(c, "a").Get(), "Value", Variant::I4(20)); }, Variant::I4(25)},
      {"Name put by name", "return (a or 0) + (c or 100)",
       [&](ZrCalculation* c) { com::PutProperty(param(c, "b").Get(), "Name", Variant::Str("c")); }, Variant::I4(8)},
      {"Direction put by name", "return (a or 100) + b",
       [&](ZrCalculation* c) { com::PutProperty(param(c, "a").Get(), "Direction", Variant::I4(kParamOut)); },
       Variant::I4(105)},
      {"SetFields", "return a + b",
       [&](ZrCalculation* c) {
         ParameterFields f = param(c, "a")->Fields();
         f.kind = kParamTag;
         f.serverName = "Plant1";
         f.tagName = "Flow";
         param(c, "a")->SetFields(f);
       },
       Variant::R8(12)},
      {"ChangeServer", "return f",
       [&](ZrCalculation* c) {
         param(c, "f")->ChangeServer(Bstr::FromUtf8("Plant1"), 0, Bstr::FromUtf8("Plant2"), 0);
       },
       Variant::R8(70)},
      {"LoadXML", "return a + b",
       [&](ZrCalculation* c) {
         param(c, "a")->LoadXML(Bstr::FromUtf8("<Parameter><Value>1</Value></Parameter>"));
       },
       Variant::I4(6)},
      {"parameter removed", "return (a or 100) + b", [&](ZrCalculation* c) { c->Parameters()->Remove("a"); },
       Variant::I4(105)},
      {"parameter added", "return a + b + (d or 0)",
       [&](ZrCalculation* c) { c->AddParameter("d", Variant::I4(1000)); }, Variant::I4(1008)},
      {"script", "return a + b", [&](ZrCalculation* c) { c->SetScript("return a * b"); }, Variant::I4(15)},
      {"Script put by name", "return a + b",
       [&](ZrCalculation* c) { com::PutProperty(c, "Script", Variant::Str("return b - a")); }, Variant::I4(2)},
      {"calculation type", "return a + b", [&](ZrCalculation* c) { c->SetCalcType(1); }, Variant()},
  };
  for (const Case& k : cases) {
    auto calc = Make(k.script);
    AddParam(calc.Get(), "f", kParamIn, kParamTag, "Plant1", "Flow");
    calc->Calculate();
    ASSERT_EQ(calc->Level(), components::kLevelOk) << k.what << ": " << calc->ErrorText();
    k.change(calc.Get());
    calc->Calculate();
    EXPECT_EQ(calc->Result(), k.after) << k.what << ": " << calc->ErrorText();
  }
}

TEST_F(CalcEngineTest, AnOutputLeftUnsetIsNotWritten) {
  SetTag("Plant1", "Kept", 7.0);
  auto calc = Make("if a > 100 then Out = 1 end return 2");
  calc->Parameters()->Remove("Out");
  AddParam(calc.Get(), "Out", kParamOut, kParamTag, "Plant1", "Kept");
  AddParam(calc.Get(), "Local", kParamOut, 0, "", "", "", Variant::I4(9));
  calc->Calculate();
  ASSERT_EQ(calc->Level(), components::kLevelOk) << calc->ErrorText();
  EXPECT_EQ(calc->Result(), Variant::I4(2));
  tags::TagSample s;
  ASSERT_EQ(Store().Read("Plant1", "Kept", &s), tags::TagStatus::kOk);
  EXPECT_EQ(s.value, tags::TagValue(7.0));
  EXPECT_EQ(Store().History("Plant1", "Kept", 10).size(), 1u);
  EXPECT_EQ(calc->Parameters()->Find("Local")->Value(), Variant::I4(9));
}

TEST_F(CalcEngineTest, WritesToMissingTagOrOfflineServerFailOrSpool) {
  auto calc = Make("Out = 1");
  calc->Parameters()->Remove("Out");
  AddParam(calc.Get(), "Out", kParamOut, kParamTag, "Plant2", "Missing");
  calc->Calculate();
  EXPECT_EQ(calc->Level(), components::kLevelError);
  EXPECT_THAT(calc->ErrorText(), HasSubstr("Plant2/Missing: no such tag"));

  SetTag("Plant2", "Missing", int64_t{0});
  Store().SetServerOnline("Plant2", false);
  calc->Calculate();
  EXPECT_THAT(calc->ErrorText(), HasSubstr("server offline"));
  components::RunOutcome outcome;
  ASSERT_EQ(calc->Run(components::RunRequest{.storeAndForward = true}, &outcome), com::S_OK);
  EXPECT_EQ(calc->Level(), components::kLevelWarning);
  EXPECT_THAT(calc->ErrorText(), HasSubstr("spooled"));
  EXPECT_EQ(outcome.level, components::kLevelWarning);
  EXPECT_EQ(outcome.errorText, calc->ErrorText());
  EXPECT_EQ(Store().Spool().size(), 1u);
}

TEST_F(CalcEngineTest, LibraryFormulaSavedReplacesTheCompiledFormula) {
  auto calc = Make("return Stats.Mean(a, b)");
  calc->Calculate();
  EXPECT_EQ(calc->Result(), Variant::R8(4));

  com::ComPtr<com::IDispatch> obj;
  env->GetLibrary(Bstr::FromUtf8("Stats"), &obj);
  auto* lib = dynamic_cast<ZrLibrary*>(obj.Get());
  ASSERT_TRUE(lib);
  lib->FindFormula("Mean")->SetScript("m = x + y");
  ASSERT_EQ(lib->SaveFile(scratch.W("Lib\\Stats.zrc")), com::S_OK);
  calc->Calculate();
  EXPECT_EQ(calc->Result(), Variant::R8(4)) << "still the compiled formula until told";
  env->LibraryFormulaSaved(Bstr::FromUtf8("Stats"), Bstr::FromUtf8("Mean"));
  calc->Calculate();
  EXPECT_EQ(calc->Result(), Variant::I4(8));
}

TEST_F(CalcEngineTest, MissingLibraryAndUnrunnableTypeAreErrorsOfTheRun) {
  auto calc = Make("return 1");
  calc->SetLibraries({"NoSuchLib"});
  calc->Calculate();
  EXPECT_THAT(calc->ErrorText(), HasSubstr("library NoSuchLib not found"));
  calc->SetCalcType(1);
  calc->Calculate();
  EXPECT_EQ(calc->Level(), components::kLevelError);
  EXPECT_EQ(calc->CheckFormula(), components::E_FORMULA_INVALID);
}

TEST_F(CalcEngineTest, GlobalsOfOneRunNeverReachTheNext) {
  auto first = Make("leak = 5 return leak");
  first->Calculate();
  EXPECT_EQ(first->Result(), Variant::I4(5));
  auto second = Make("return leak");
  second->Calculate();
  EXPECT_EQ(second->Result(), Variant());
  EXPECT_EQ(second->Level(), components::kLevelOk);
}

TEST_F(CalcEngineTest, CheckFormulaReportsTheFirstSyntaxErrorWithItsLine) {
  auto calc = Make("x = 1\ny = (2\nz = 3");
  EXPECT_EQ(calc->CheckFormula(), components::E_FORMULA_INVALID);
  EXPECT_THAT(calc->ErrorText(), HasSubstr("Calc:3:"));
  calc->SetScript("return a");
  EXPECT_EQ(calc->CheckFormula(), com::S_OK);
}

TEST_F(CalcEngineTest, ScheduleGroupRunsItemsWithItsContext) {
  auto calc = Make("if Context == '' then error('no context') end return Context");
  calc->SetName(Bstr::FromUtf8("Ctx"));
  ASSERT_EQ(calc->SaveFile(scratch.W("Calc\\Ctx.zrc")), com::S_OK);
  auto bad = Make("while true do end");
  bad->SetName(Bstr::FromUtf8("Runaway"));
  ASSERT_EQ(bad->SaveFile(scratch.W("Calc\\Runaway.zrc")), com::S_OK);
  auto group = com::MakeCom<ZrScheduleGroup>();
  com::ComPtr<com::IDispatch> item;
  group->AddItem(Bstr::FromUtf8("Ctx"), &item);
  group->AddItem(Bstr::FromUtf8("Runaway"), &item);
  EXPECT_EQ(group->Execute(Bstr::FromUtf8("workspace-7")), com::S_FALSE);

  com::ComPtr<com::IDispatch> held;
  env->GetCalculation(Bstr::FromUtf8("Ctx"), Bstr(), &held);
  EXPECT_EQ(dynamic_cast<ZrCalculation*>(held.Get())->Result(), Variant::Str("workspace-7"));
  com::ComPtr<com::IDispatch> runaway;
  group->FindItem(Bstr::FromUtf8("Runaway"), &runaway);
  auto* r = dynamic_cast<ZrScheduledItem*>(runaway.Get());
  ASSERT_TRUE(r);
  EXPECT_EQ(r->Status(), kItemFailed);
  EXPECT_THAT(r->ErrorText(), HasSubstr("instruction limit"));
  com::ComPtr<com::IDispatch> ctx;
  group->FindItem(Bstr::FromUtf8("Ctx"), &ctx);
  EXPECT_EQ(dynamic_cast<ZrScheduledItem*>(ctx.Get())->Status(), kItemRan);
}

TEST_F(CalcEngineTest, ParametersKeepTheirBindingInTheObjectFile) {
  auto calc = Make("Out = t");
  AddParam(calc.Get(), "t", kParamIn, kParamTag, "Plant1", "TempF", "C");
  ASSERT_EQ(calc->SaveFile(scratch.W("Calc\\P.zrc")), com::S_OK);
  auto back = com::MakeCom<ZrCalculation>();
  ASSERT_EQ(back->LoadFile(scratch.W("Calc\\P.zrc")), com::S_OK);
  auto t = back->Parameters()->Find("t");
  ASSERT_TRUE(t);
  const ParameterFields f = t->Fields();
  EXPECT_EQ(f.kind, kParamTag);
  EXPECT_EQ(f.serverName, "Plant1");
  EXPECT_EQ(f.tagName, "TempF");
  EXPECT_EQ(f.units, "C");
  EXPECT_EQ(back->Parameters()->Find("Out")->Fields().direction, kParamOut);
}

}  // namespace
}  // namespace kv::engine
