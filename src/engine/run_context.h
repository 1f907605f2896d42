#pragma once
// What a schedule group tells the calculations it runs on the calling thread: the context
// string scripts read as the global "Context", and the group's store-and-forward switch.
#include <string>

namespace kv::engine {

struct RunContext {
  std::string context;
  // -1: the environment's switch; 0 or 1: the group's.
  int storeAndForward = -1;
};

// The calling thread's context (an empty one outside a ScopedRunContext).
const RunContext& CurrentRunContext();

class ScopedRunContext {
 public:
  explicit ScopedRunContext(RunContext ctx);
  ~ScopedRunContext();
  ScopedRunContext(const ScopedRunContext&) = delete;
  ScopedRunContext& operator=(const ScopedRunContext&) = delete;

 private:
  RunContext ctx_;
  const RunContext* prev_;
};

}  // namespace kv::engine
