// The walk over a calculation's parameters behind ChangeServerName, Validate and Validate2, on
// small fake parameters that record what they were asked; and the server list over the store.
#include <gtest/gtest.h>

#include "exchange/exchange_fixture.h"
#include "store/fake_environment.h"
#include "exchange/exchange_commands.h"
#include "execution/execution_commands.h"
#include "store/store_commands.h"

namespace kv::testing {
namespace {

// A parameter that refuses or accepts the server change, answers a fixed validation message (null
// for none) and records its calls; with `validate2` its IDispatch knows a "Validate2" member.
class FakeParameter : public com::ComObject<components::IZrCalcParameter, com::IDispatch> {
 public:
  FakeParameter(bool acceptsChange, const char* message, bool validate2 = true)
      : accepts_(acceptsChange), message_(message), validate2_(validate2) {}
  std::string calls;  // "C" ChangeServer, "V" ValidateParameter, "U" ValidateParameterUnits

  HRESULT GetServerName(Bstr* s) override { *s = Bstr(u"Node1"); return com::S_OK; }
  HRESULT GetParameterKind(long* k) override { *k = 1; return com::S_OK; }
  HRESULT ChangeServer(const Bstr&, long, const Bstr&, long) override {
    calls += "C";
    return accepts_ ? com::S_OK : com::E_FAIL;
  }
  HRESULT ValidateParameter(Bstr* m) override {
    calls += "V";
    *m = message_ ? Bstr::FromUtf8(message_) : Bstr();
    return com::S_OK;
  }
  HRESULT ValidateParameterUnits(long check, Bstr* m) override {
    calls += "U" + std::to_string(check);
    *m = message_ ? Bstr::FromUtf8(message_) : Bstr();
    return com::S_OK;
  }
  HRESULT GetName(Bstr* n) override { *n = Bstr(u"p"); return com::S_OK; }
  HRESULT GetDirection(long* d) override { *d = 0; return com::S_OK; }
  HRESULT GetTagName(Bstr* t) override { *t = Bstr(u""); return com::S_OK; }
  HRESULT GetCalcName(Bstr* c) override { *c = Bstr(u""); return com::S_OK; }
  HRESULT GetUnits(Bstr* u) override { *u = Bstr(u""); return com::S_OK; }
  HRESULT GetIDsOfNames(std::string_view name, com::DISPID* id) override {
    if (validate2_ && com::NamesEqual(name, "Validate2")) {
      *id = 7;
      return com::S_OK;
    }
    return com::DISP_E_UNKNOWNNAME;
  }
  HRESULT Invoke(com::DISPID, uint16_t, std::vector<Variant>&, Variant*) override { return com::DISP_E_MEMBERNOTFOUND; }

 private:
  bool accepts_;
  const char* message_;
  bool validate2_;
};

class FakeParameters : public com::ComObject<components::IZrParameters> {
 public:
  std::vector<ComPtr<FakeParameter>> items;
  HRESULT Count(long* n) override { *n = static_cast<long>(items.size()); return com::S_OK; }
  HRESULT Item(long i, ComPtr<IDispatch>* out) override {
    if (i < 1 || i > static_cast<long>(items.size())) return com::DISP_E_BADINDEX;
    *out = ComPtr<IDispatch>(items[static_cast<size_t>(i - 1)].Get());
    return com::S_OK;
  }
};

class WalkCalc : public FakeCalc {
 public:
  WalkCalc() : FakeCalc(1), params(com::MakeCom<FakeParameters>()) {}
  HRESULT GetParameters(ComPtr<components::IZrParameters>* p) override {
    *p = params;
    return com::S_OK;
  }
  ComPtr<FakeParameters> params;
  std::string Calls() const {
    std::string s;
    for (const auto& p : params->items) s += (s.empty() ? "" : "|") + p->calls;
    return s;
  }
};

ComPtr<WalkCalc> CalcOf(std::vector<ComPtr<FakeParameter>> items) {
  auto calc = com::MakeCom<WalkCalc>();
  calc->params->items = std::move(items);
  return calc;
}

TEST(ParameterWalk, Cases) {
  ZrCalcCmdObject cmd;
  const Bstr oldServer = Bstr(u"Node1"), newServer = Bstr(u"Node2");
  struct Case {
    const char* what;
    std::vector<ComPtr<FakeParameter>> items;
    int walk;  // 0 ChangeServerName, 1 Validate, 2 Validate2 with units, 3 Validate2 without
    const char* message;
    long count;
    const char* calls;
  } cases[] = {
      {"rename: the second refuses",
       {com::MakeCom<FakeParameter>(true, nullptr), com::MakeCom<FakeParameter>(false, nullptr),
        com::MakeCom<FakeParameter>(true, nullptr)},
       0, nullptr, 2, "CV|C|CV"},
      {"rename: a changed parameter's message stops the walk",
       {com::MakeCom<FakeParameter>(true, "bad tag"), com::MakeCom<FakeParameter>(true, nullptr)}, 0, "bad tag", 1,
       "CV|"},
      {"validate: the second item's message stops it",
       {com::MakeCom<FakeParameter>(true, nullptr), com::MakeCom<FakeParameter>(true, "no such tag"),
        com::MakeCom<FakeParameter>(true, "later")},
       1, "no such tag", 2, "V|V|"},
      {"validate2 with units asks the unit check with -1",
       {com::MakeCom<FakeParameter>(true, nullptr), com::MakeCom<FakeParameter>(true, nullptr)}, 2, nullptr, 2,
       "U-1|U-1"},
      {"validate2 without units is validate",
       {com::MakeCom<FakeParameter>(true, nullptr), com::MakeCom<FakeParameter>(true, "m")}, 3, "m", 2, "V|V"},
      {"no Validate2 member on the first item: plain validation throughout",
       {com::MakeCom<FakeParameter>(true, nullptr, false), com::MakeCom<FakeParameter>(true, nullptr)}, 2, nullptr, 2,
       "V|V"},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    ComPtr<WalkCalc> calc = CalcOf(c.items);
    long count = -1;
    Bstr message;
    switch (c.walk) {
      case 0: message = execution::ChangeServerName(cmd, calc.Get(), oldServer, 0, newServer, 0, &count); break;
      case 1: message = execution::Validate(cmd, calc.Get(), &count); break;
      case 2: message = execution::Validate2(cmd, calc.Get(), true, &count); break;
      default: message = execution::Validate2(cmd, calc.Get(), false, &count); break;
    }
    EXPECT_EQ(message.IsNull(), c.message == nullptr);
    if (c.message) {
      EXPECT_EQ(message.ToUtf8(), c.message);
    }
    EXPECT_EQ(count, c.count);
    EXPECT_EQ(calc->Calls(), c.calls);
  }
  // Nothing to walk: a null object, and one that is no calculation.
  long count = -1;
  EXPECT_TRUE(execution::Validate(cmd, nullptr, &count).IsNull());
  EXPECT_EQ(count, 0);
  auto notACalc = com::MakeCom<FakeParameter>(true, "x");
  EXPECT_TRUE(execution::Validate2(cmd, notACalc.Get(), true, nullptr).IsNull());
  EXPECT_EQ(notACalc->calls, "");
}

using ServerListTest = ExchangeFixture;

TEST_F(ServerListTest, EachServerOnceSpelledAsFirstMet) {
  StoreWithParameters("Area1", Tag("a", "NodeA") + Constant("k", 2) + Tag("b", "nodeB"));
  StoreWithParameters("Area2", Tag("c", "NODEA") + Tag("d", "NodeC") + Tag("e", "NodeB"));
  Variant list;
  execution::ListVorenServers(*cmd, &list);
  std::vector<std::string> names;
  ASSERT_TRUE(com::VariantToStringList(list, &names));
  EXPECT_EQ(names, (std::vector<std::string>{"NodeA", "nodeB", "NodeC"}));

  // Real parameters through the walk: the tag parameter on NodeA moves, and its validation then
  // reports that NodeZ holds no tag T1, which ends the walk.
  g_pEnvironment->RemoveCalculation(B("Area1"));
  ComPtr<IDispatch> area1 = store::GetCalculationObject(*cmd, B("Area1"));
  long count = 0;
  const std::string message = execution::ChangeServerName(*cmd, area1.Get(), B("nodea"), 0, B("NodeZ"), 0, &count).ToUtf8();
  EXPECT_NE(message.find("T1"), std::string::npos) << message;
  EXPECT_EQ(count, 1);
}

TEST_F(ServerListTest, NoTagParametersGiveAnEmptyList) {
  StoreWithParameters("Area1", Constant("k", 2));
  Variant list = Variant::I4(5);
  execution::ListVorenServers(*cmd, &list);
  EXPECT_TRUE(list.IsEmpty());
}

}  // namespace
}  // namespace kv::testing
