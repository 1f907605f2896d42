#include "com/contained_call.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

namespace kv::com {
namespace {

TEST(ContainedCall, PassesStatusesOnAndTurnsExceptionsIntoStatuses) {
  const struct {
    const char* what;
    std::function<HRESULT()> body;
    HRESULT want;
  } cases[] = {
      {"success", [] { return S_OK; }, S_OK},
      {"a success code other than S_OK", [] { return S_FALSE; }, S_FALSE},
      {"a failure the body returns", [] { return E_INVALIDARG; }, E_INVALIDARG},
      {"out of memory", []() -> HRESULT { throw std::bad_alloc(); }, E_OUTOFMEMORY},
      {"a standard exception", []() -> HRESULT { throw std::runtime_error("access violation"); }, E_UNEXPECTED},
      {"something that is no exception class", []() -> HRESULT { throw 7; }, E_UNEXPECTED},
  };
  for (const auto& c : cases) EXPECT_EQ(ContainedCall(c.body), c.want) << c.what;
}

TEST(ContainedCall, ABodyWithoutStatusSucceedsUnlessItThrows) {
  int steps = 0;
  EXPECT_EQ(ContainedCall([&] { ++steps; }), S_OK);
  EXPECT_EQ(ContainedCall([&] {
              ++steps;
              throw std::logic_error("half done");
            }),
            E_UNEXPECTED);
  EXPECT_EQ(steps, 2) << "the work before the throw stays done";
}

}  // namespace
}  // namespace kv::com
