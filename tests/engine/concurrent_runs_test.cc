// One calculation run by two threads at once (a group thread and a client may do so): each
// thread has its own Lua state, every run sees consistent inputs and leaves consistent results.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "engine_fixture.h"

namespace kv::engine {
namespace {

using com::Variant;

class ConcurrentRunsTest : public testing::EngineFixture {};

TEST_F(ConcurrentRunsTest, TwoThreadsRunOneCalculationTenThousandTimesEach) {
  constexpr int kRuns = 10000;
  auto calc = com::MakeCom<ZrCalculation>();
  calc->SetName(Bstr::FromUtf8("Shared"));
  // The output depends on the input through a loop, so a run that saw another run's
  // half-written state would give a different sum.
  calc->SetScript("local s = 0 for i = 1, n do s = s + i * k end Out = s return s");
  AddParam(calc.Get(), "n", components::kParamIn, 0, "", "", "", Variant::I4(100));
  AddParam(calc.Get(), "k", components::kParamIn, 0, "", "", "", Variant::I4(1));
  AddParam(calc.Get(), "Out", components::kParamOut);

  std::atomic<int> bad{0};
  auto worker = [&](bool attach) {
    if (attach) env->AttachThread();
    for (int i = 0; i < kRuns; ++i) {
      calc->Calculate();
      Variant level, value;
      com::GetProperty(calc.Get(), "Level", &level);
      com::GetProperty(calc.Get(), "Value", &value);
      if (level != Variant::I4(0) || value != Variant::I4(5050)) ++bad;
    }
    if (attach) env->DetachThread();
  };
  // One thread as a group thread (attached), one as an apartment thread (state on first use).
  std::thread group(worker, true), client(worker, false);
  group.join();
  client.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(calc->Parameters()->Find("Out")->Value(), Variant::I4(5050));
  EXPECT_EQ(calc->Parameters()->Find("n")->Value(), Variant::I4(100));
}

TEST_F(ConcurrentRunsTest, RunsChangingTheirInputMeanwhileStayWhole) {
  // A client changes the input while the other thread runs: every run's output matches the
  // input that run read (Out = 2 * x), never a mix.
  auto calc = com::MakeCom<ZrCalculation>();
  calc->SetScript("Out = x * 2 Echo = x return x");
  AddParam(calc.Get(), "x", components::kParamIn, 0, "", "", "", Variant::I4(0));
  AddParam(calc.Get(), "Out", components::kParamOut);
  AddParam(calc.Get(), "Echo", components::kParamOut);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; !stop.load(); ++i) com::PutProperty(calc->Parameters()->Find("x").Get(), "Value", Variant::I4(i));
  });
  int bad = 0;
  for (int i = 0; i < 5000; ++i) {
    calc->Calculate();
    const Variant v = calc->Result();
    if (v.vt() != com::VT_I4) ++bad;
  }
  stop = true;
  writer.join();
  EXPECT_EQ(bad, 0);
  // The outputs of the last run belong together.
  const Variant echo = calc->Parameters()->Find("Echo")->Value();
  const Variant out = calc->Parameters()->Find("Out")->Value();
  ASSERT_EQ(echo.vt(), com::VT_I4);
  EXPECT_EQ(out, Variant::I4(echo.i4() * 2));
  EXPECT_EQ(calc->Result(), echo);
}

}  // namespace
}  // namespace kv::engine
