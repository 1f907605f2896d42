#include "engine/run_context.h"

namespace kv::engine {
namespace {
const RunContext kNone;
thread_local const RunContext* t_context = nullptr;
}  // namespace

const RunContext& CurrentRunContext() { return t_context ? *t_context : kNone; }

ScopedRunContext::ScopedRunContext(RunContext ctx) : ctx_(std::move(ctx)), prev_(t_context) { t_context = &ctx_; }

ScopedRunContext::~ScopedRunContext() { t_context = prev_; }

}  // namespace kv::engine
