// Running a calculation: inputs in, the script under the sandbox's limits, outputs out.
#include <lua.hpp>

#include <algorithm>
#include <atomic>
#include <set>

#include "engine/calc_environment.h"
#include "engine/calculation.h"
#include "engine/library.h"
#include "engine/lua_runtime.h"
#include "engine/lua_values.h"
#include "engine/script_names.h"
#include "engine/server_context.h"
#include "engine/unit_conversion.h"
#include "platform/env.h"
#include "platform/ole_date.h"

namespace kv::engine {
namespace {

using components::kParamCalculation;
using components::kParamConstant;
using components::kParamTag;


// The environment object of the server, when it is ours.
com::ComPtr<ZrCalcEnvironment> Environment() {
  components::IServerObjects* objects = ServerObjects();
  if (!objects) return nullptr;
  return com::ComPtr<ZrCalcEnvironment>(dynamic_cast<ZrCalcEnvironment*>(objects->Environment().Get()));
}

double UtcNowOle(platform::Env& env) { return platform::OleDateFromUnixMs(env.clock->NowUnixMs()); }

// The instant a run stands for, as UTC (milliseconds kept) and as local time in whole seconds:
// the time its outputs carry and its LastRunTime are the same instant. `slotUnixMs` 0 reads the
// clock.
struct RunTimes {
  double utc, local;
};
RunTimes RunTimesAt(platform::Env& env, int64_t slotUnixMs) {
  const int64_t ms = slotUnixMs != 0 ? slotUnixMs : env.clock->NowUnixMs();
  return {platform::OleDateFromUnixMs(ms), platform::LocalOleDateAt(*env.zone, ms)};
}

// The names a script may use that no parameter binds: the sandbox's own globals.
const std::set<std::string>& SandboxNames() {
  static const std::set<std::string> names = {"math",   "string", "table",    "utf8",     "pairs", "ipairs",
                                              "next",   "select", "tonumber", "tostring", "type",  "error",
                                              "assert", "rawequal", "pcall",  "warn",     "time",  "Context"};
  return names;
}

struct RunState {
  long level = components::kLevelOk;
  std::string status = "OK";
  std::string error;
  bool Failed() const { return level == components::kLevelError; }
  void Fail(std::string st, std::string text) {
    level = components::kLevelError;
    status = std::move(st);
    error = std::move(text);
  }
};

// A parameter as a run sees it (the run holds the plan, which keeps it and its fields alive).
struct Input {
  CalcParameter* param = nullptr;
  const ParameterFields* f = nullptr;
  const Variant* constant = nullptr;  // a constant's value, as the plan holds it
  Variant value;                      // what was read for any other kind
  int32_t quality = kQualityGood;
  double time = 0;
};

// The buffers of one run, kept per thread so that a run allocates nothing it need not.
struct RunScratch {
  std::vector<Input> params;
  std::vector<size_t> inputs, outputs;
  std::vector<Variant> outValues;
  // The tag inputs, read together before the inputs are bound; samples[k] is the k-th tag input's.
  std::vector<tags::TagKey> tagKeys;
  std::vector<tags::TagSample> samples;
  std::vector<tags::TagStatus> statuses;
  // The output tags' writes, the output each is of, and their outcomes.
  std::vector<tags::TagWrite> writes;
  std::vector<size_t> writeOf;
  std::vector<tags::TagStatus> outcome;
  bool inUse = false;
};

// Converts `v` from units `from` to `to`; false and `error` when there is no conversion or the
// value is not a number.
bool Convert(com::IDispatch* units, const std::string& from, const std::string& to, Variant* v, std::string* error) {
  if (from.empty() || to.empty() || from == to || v->IsEmpty()) return true;
  UnitConversion c;
  if (!FindConversion(units, from, to, &c, error)) return false;
  double x;
  if (!AsNumber(*v, &x)) {
    *error = "a value that is not a number cannot be converted from " + from + " to " + to;
    return false;
  }
  *v = Variant::R8(c.Apply(x));
  return true;
}

// Reads the inputs: constants as held, tags as already read from the tag source (`read` and its
// `readStatus`, null when there is no tag source) converted to the parameter's units, other
// calculations' last Value.
bool ReadInput(platform::Env& platform, ZrCalcEnvironment* env, com::IDispatch* units, Input* in, RunState* st,
               tags::TagSample* read, tags::TagStatus readStatus) {
  const ParameterFields& f = *in->f;
  switch (f.kind) {
    case kParamConstant:
      in->quality = f.quality;
      in->time = f.timestamp;
      return true;
    case kParamTag: {
      if (!read) {
        st->Fail("Input error", "input " + f.name + ": no tag store" +
                                    (env && !env->TagStoreError().empty() ? " (" + env->TagStoreError() + ")" : ""));
        return false;
      }
      const tags::TagSample& s = *read;
      if (readStatus != tags::TagStatus::kOk) {
        st->Fail("Input error", "input " + f.name + ": " + f.serverName + "/" + f.tagName + ": " +
                                    tags::TagStatusText(readStatus));
        return false;
      }
      in->value = FromTagValue(s.value);
      in->quality = s.quality;
      in->time = s.time;
      std::string error;
      if (!Convert(units, s.units, f.units, &in->value, &error)) {
        st->Fail("Units error", "input " + f.name + ": " + error);
        return false;
      }
      return true;
    }
    case kParamCalculation: {
      com::ComPtr<IDispatch> other;
      if (env) env->GetCalculation(Bstr::FromUtf8(f.calcName), Bstr(), &other);
      auto* calc = dynamic_cast<ZrCalculation*>(other.Get());
      if (!calc) {
        st->Fail("Input error", "input " + f.name + ": calculation " + f.calcName + " not found");
        return false;
      }
      in->value = calc->Result();
      in->quality = calc->Level() == components::kLevelError ? kQualityBad : kQualityGood;
      in->time = UtcNowOle(platform);
      return true;
    }
    default:
      st->Fail("Input error", "input " + f.name + ": unknown kind " + std::to_string(f.kind));
      return false;
  }
}

// Pushes the read-only table of library `name` for the runtime, building it on first use.
bool PushLibrary(LuaRuntime& rt, ZrCalcEnvironment* env, const std::string& name, RunState* st) {
  lua_State* L = rt.L();
  const uint64_t generation = env ? env->LibraryGeneration() : 0;
  const int ref = rt.CachedLibraryRef(name, generation);
  if (ref != LUA_NOREF) {
    lua_rawgeti(L, LUA_REGISTRYINDEX, ref);
    return true;
  }
  com::ComPtr<IDispatch> obj;
  if (env) env->GetLibrary(Bstr::FromUtf8(name), &obj);
  auto* lib = dynamic_cast<ZrLibrary*>(obj.Get());
  if (!lib) {
    st->Fail("Library error", "library " + name + " not found");
    return false;
  }
  lua_newtable(L);
  for (const auto& formula : lib->Formulas()->Items()) {
    const std::string fname = formula->Name();
    if (formula->CalcType() != components::kCalcTypeCalcScript) continue;
    std::vector<std::string> params;
    std::string result;
    for (const auto& p : formula->Parameters()->Items()) {
      if (p->IsInput()) params.push_back(p->Name());
      else if (result.empty()) result = p->Name();
    }
    std::string error;
    if (!rt.PushFormula(formula->Script(), params, result, name + "." + fname, &error)) {
      lua_pop(L, 1);
      st->Fail("Library error", error);
      return false;
    }
    lua_setfield(L, -2, fname.c_str());
  }
  rt.MakeReadOnly();
  lua_pushvalue(L, -1);
  rt.CacheLibrary(name, luaL_ref(L, LUA_REGISTRYINDEX));
  return true;
}

}  // namespace

// What a run needs of the calculation and its parameters, kept between runs while none of it
// changes: the calculation's type, script, name and libraries, compared with the object's on
// each run, and the parameters' fields and constant values, kept while their edit counts stay.
// Never changed once made, so runs on several threads share it.
struct RunPlan {
  int32_t type = 0;
  std::string script, name, displayName;
  std::vector<std::string> libraries;
  uint64_t version = 0;  // unique to this plan: names its script to the thread's Lua state
  uint32_t itemEdits = 0;
  struct Param {
    com::ComPtr<CalcParameter> param;
    ParameterFields f;
    Variant value;
    uint32_t edits = 0, samples = 0;
    bool constantInput = false;  // its value is an input of the run, so its samples count too
  };
  std::vector<Param> params;
  bool anyTag = false, anyOther = false;

  bool ParamsCurrent(const ParameterList& list) const {
    if (list.Edits() != itemEdits) return false;
    for (const Param& p : params)
      if (p.param->Edits() != p.edits || (p.constantInput && p.param->Samples() != p.samples)) return false;
    return true;
  }
};

std::shared_ptr<const RunPlan> ZrCalculation::Plan() {
  std::shared_ptr<const RunPlan> plan;
  Locked([&] {
    if (plan_ && plan_->type == f_.calcType && plan_->script == f_.script && plan_->name == f_.header.name &&
        plan_->libraries == f_.libraries)
      plan = plan_;
  });
  if (plan && plan->ParamsCurrent(*parameters_)) return plan;

  static std::atomic<uint64_t> versions{0};
  auto next = std::make_shared<RunPlan>();
  Locked([&] {
    next->type = f_.calcType;
    next->script = f_.script;
    next->name = f_.header.name;
    next->libraries = f_.libraries;
  });
  next->displayName = next->name.empty() ? "calculation" : next->name;
  next->version = ++versions;
  std::vector<com::ComPtr<CalcParameter>> items;
  next->itemEdits = parameters_->CopyItems(&items);
  next->params.resize(items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    RunPlan::Param& p = next->params[i];
    p.param = std::move(items[i]);
    p.param->Snapshot(&p.f, &p.value, &p.edits, &p.samples);
    p.constantInput = p.f.kind == kParamConstant && p.f.direction != components::kParamOut;
    next->anyTag = next->anyTag || p.f.kind == kParamTag;
    next->anyOther = next->anyOther || p.f.kind != kParamConstant;
  }
  Locked([&] { plan_ = next; });
  return next;
}

HRESULT ZrCalculation::Calculate() {
  components::IServerObjects* objects = ServerObjects();
  return Run(objects ? objects->OnDemandRunRequest() : components::RunRequest{}, nullptr);
}

namespace {

// One run, step by step: read the inputs, execute the script, collect the outputs, write the
// output tags, publish. Holds what the steps share; lives on the running thread's stack.
class RunFrame {
 public:
  RunFrame(platform::Env& platform, const RunPlan& plan, const components::RunRequest& request, RunScratch& scratch)
      : platform_(platform), plan_(plan), request_(request), s_(scratch), params_(scratch.params) {
    params_.resize(plan.params.size());
    for (size_t i = 0; i < params_.size(); ++i) {
      const RunPlan::Param& p = plan.params[i];
      params_[i].param = p.param.Get();
      params_[i].f = &p.f;
      params_[i].constant = &p.value;
    }
    s_.inputs.clear();
    s_.outputs.clear();
    s_.outValues.clear();
    // A calculation of constants alone needs nothing of the environment.
    if (plan.anyOther || !plan.libraries.empty()) env_ = Environment();
    if (env_ && plan.anyTag) {
      tags_ = env_->Tags();
      units_ = env_->UnitConversionObject();
    }
  }

  // Compiles (once per plan and thread), binds the inputs and libraries, runs the script under
  // the sandbox's limits and takes the outputs out of its environment; the Lua state is left
  // clean for the next run whatever happened.
  void Evaluate() {
    // A thread that is already inside a run (never the case for scripts, which cannot start
    // one) gets a state of its own rather than disturbing the outer run's stack.
    LuaRuntime* rt = &ThreadRuntime();
    std::unique_ptr<LuaRuntime> nested;
    if (rt->Busy()) {
      nested = std::make_unique<LuaRuntime>(rt->Limits());
      rt = nested.get();
    }
    lua_State* L = rt->L();
    const int top = lua_gettop(L);
    std::string error;
    if (plan_.type != components::kCalcTypeCalcScript) {
      st_.Fail("Not runnable",
               "calculation type " + std::to_string(plan_.type) + " cannot run; only CalcScript (4) runs");
    } else if (!rt->PushBodyFor(calcId_, plan_.version, plan_.script, plan_.displayName, &error)) {
      st_.Fail("Compile error", error);
    }
    const bool ranScript = !st_.Failed();
    if (ranScript) {
      rt->PushRunEnvironment();
      const int envIndex = lua_gettop(L);
      BindInputs(*rt, envIndex);
      if (!st_.Failed()) Execute(*rt, envIndex - 1);
      if (!st_.Failed()) CollectOutputs(L, envIndex);
      // The names this run bound or read go first, by name; EndRunEnvironment finds the rest.
      for (const Input& in : params_) {
        lua_pushnil(L);
        lua_setfield(L, envIndex, in.f->name.c_str());
      }
      for (const std::string& lib : plan_.libraries) {
        lua_pushnil(L);
        lua_setfield(L, envIndex, lib.c_str());
      }
    }
    lua_settop(L, top);
    if (ranScript) rt->EndRunEnvironment();
  }

  // Converts and writes the output tags in one batch, with the request's store-and-forward
  // switch; outside any lock of the calculation, as it waits on the tag source.
  void WriteOutputTags(double nowUtc) {
    if (st_.Failed()) return;
    std::vector<tags::TagWrite>& writes = s_.writes;
    std::vector<size_t>& writeOf = s_.writeOf;
    writes.clear();
    writeOf.clear();
    // Only an output with units of its own converts to the tag's: those tags' units are read, in
    // one read; a value without units is written as it is, with no read.
    std::vector<tags::TagKey>& keys = s_.tagKeys;
    keys.clear();
    for (size_t o = 0; o < s_.outputs.size(); ++o) {
      const ParameterFields& f = *params_[s_.outputs[o]].f;
      if (f.kind != kParamTag) continue;
      if (!tags_) return st_.Fail("Output error", "output " + f.name + ": no tag store");
      if (!f.units.empty()) keys.push_back({&f.serverName, &f.tagName});
    }
    if (!keys.empty()) tags_->ReadMany(keys, &s_.samples, &s_.statuses);
    size_t nextSample = 0;
    for (size_t o = 0; o < s_.outputs.size(); ++o) {
      const ParameterFields& f = *params_[s_.outputs[o]].f;
      if (f.kind != kParamTag) continue;
      Variant v = s_.outValues[o];
      if (!f.units.empty()) {
        const size_t k = nextSample++;
        std::string cerr;
        if (s_.statuses[k] == tags::TagStatus::kOk && !Convert(units_.Get(), f.units, s_.samples[k].units, &v, &cerr))
          return st_.Fail("Units error", "output " + f.name + ": " + cerr);
      }
      writes.push_back(tags::TagWrite{f.serverName, f.tagName, ToTagValue(v), tags::kQualityGood, nowUtc});
      writeOf.push_back(o);
    }
    if (writes.empty()) return;
    std::vector<tags::TagStatus>& outcome = s_.outcome;
    tags_->Write(writes, request_.storeAndForward, &outcome);
    for (size_t w = 0; w < writes.size(); ++w) {
      if (outcome[w] == tags::TagStatus::kOk) continue;
      const std::string what = "output " + params_[s_.outputs[writeOf[w]]].f->name + ": " + writes[w].server + "/" +
                               writes[w].tag + ": " + tags::TagStatusText(outcome[w]);
      if (outcome[w] != tags::TagStatus::kSpooled) return st_.Fail("Output error", what);
      if (st_.level < components::kLevelWarning) st_.level = components::kLevelWarning, st_.status = "Warning";
      st_.error += (st_.error.empty() ? "" : "; ") + what;
    }
  }

  // Records what was read and written on the parameters (constants keep their value).
  void RecordSamples(double nowUtc) {
    for (size_t i : s_.inputs)
      if (params_[i].f->kind != kParamConstant)
        params_[i].param->SetSample(params_[i].value, params_[i].quality, params_[i].time);
    if (!st_.Failed())
      for (size_t o = 0; o < s_.outputs.size(); ++o)
        params_[s_.outputs[o]].param->SetSample(s_.outValues[o], kQualityGood, nowUtc);
  }

  RunState& State() { return st_; }
  Variant& Result() { return result_; }
  void SetCalcId(uint64_t id) { calcId_ = id; }

 private:
  static bool IsInput(const Input& in) { return in.f->direction != components::kParamOut; }
  static bool IsOutput(const Input& in) {
    return in.f->direction == components::kParamOut || in.f->direction == components::kParamInOut;
  }

  // The tag inputs come from one grouped read, at one moment; then every input is bound in the
  // run's environment, followed by the context and the libraries.
  void BindInputs(LuaRuntime& rt, int envIndex) {
    lua_State* L = rt.L();
    std::vector<tags::TagKey>& keys = s_.tagKeys;
    keys.clear();
    if (tags_) {
      for (const Input& in : params_)
        if (IsInput(in) && in.f->kind == kParamTag) keys.push_back({&in.f->serverName, &in.f->tagName});
      if (!keys.empty()) tags_->ReadMany(keys, &s_.samples, &s_.statuses);
    }
    size_t nextSample = 0;
    for (size_t i = 0; i < params_.size(); ++i) {
      Input& in = params_[i];
      if (!IsInput(in)) continue;
      const bool pre = tags_ && in.f->kind == kParamTag;
      if (!ReadInput(platform_, env_.Get(), units_.Get(), &in, &st_, pre ? &s_.samples[nextSample] : nullptr,
                     pre ? s_.statuses[nextSample] : tags::TagStatus::kOk))
        break;
      if (pre) ++nextSample;
      PushVariant(L, in.f->kind == kParamConstant ? *in.constant : in.value);
      lua_setfield(L, envIndex, in.f->name.c_str());
      s_.inputs.push_back(i);
    }
    rt.SetContext(request_.context);
    for (const std::string& lib : plan_.libraries) {
      if (st_.Failed() || !PushLibrary(rt, env_.Get(), lib, &st_)) break;
      lua_setfield(L, envIndex, lib.c_str());
    }
  }

  // Calls the compiled body at `bodyIndex` (it runs in the run environment); the script's value
  // becomes the result, and its warnings a Level 1.
  void Execute(LuaRuntime& rt, int bodyIndex) {
    lua_State* L = rt.L();
    std::string error;
    RunNotes notes;
    lua_pushvalue(L, bodyIndex);
    const RunEnd end = rt.Call(0, 1, &error, &notes, *platform_.clock);
    memoryLeft_ = notes.memoryLeft;
    memoryLimitKb_ = rt.Limits().memoryBytes / 1024;
    switch (end) {
      case RunEnd::kOk: break;
      case RunEnd::kError: return st_.Fail("Run error", error);
      case RunEnd::kInstructionLimit: return st_.Fail("Instruction limit", error);
      case RunEnd::kMemoryLimit: return st_.Fail("Memory limit", plan_.displayName + ": " + error);
      case RunEnd::kTimeLimit: return st_.Fail("Time limit", plan_.displayName + ": " + error);
    }
    if (!ChargeValue(L, -1, "its value")) return;
    ToVariant(L, -1, &result_);
    lua_pop(L, 1);
    if (!notes.warnings.empty()) {
      st_.level = components::kLevelWarning;
      st_.status = "Warning";
      for (const auto& w : notes.warnings) st_.error += (st_.error.empty() ? "" : "; ") + w;
    }
  }

  // The outputs the script set, read raw (an output never reads through to the sandbox's
  // globals); one the script left unset keeps its value: nothing is written for it.
  void CollectOutputs(lua_State* L, int envIndex) {
    const Input* first = nullptr;
    for (size_t i = 0; i < params_.size(); ++i) {
      if (!IsOutput(params_[i])) continue;
      if (!first) first = &params_[i];
      const std::string& pname = params_[i].f->name;
      lua_pushlstring(L, pname.data(), pname.size());
      lua_rawget(L, envIndex);
      if (!ChargeValue(L, -1, "output " + pname)) return;
      Variant v;
      const bool ok = ToVariant(L, -1, &v);
      const std::string typeName = ok ? std::string() : luaL_typename(L, -1);
      lua_pop(L, 1);
      if (!ok) return st_.Fail("Output error", "output " + pname + ": a " + typeName + " cannot be stored");
      if (v.IsEmpty()) continue;
      s_.outputs.push_back(i);
      s_.outValues.push_back(std::move(v));
    }
    // Without a returned value, Value is the first output's, in parameter order: what this run
    // set, or else what it kept.
    if (!result_.IsEmpty() || !first) return;
    if (!s_.outputs.empty() && &params_[s_.outputs.front()] == first)
      result_ = s_.outValues.front();
    else if (first->param)
      result_ = first->param->Value();
  }

  // Charges the text of the value at `index`, which the run hands out as a copy, to what is left
  // of the run's memory; false and the run failed when it does not fit.
  bool ChargeValue(lua_State* L, int index, const std::string& what) {
    if (lua_type(L, index) != LUA_TSTRING) return true;
    // The value's own bytes and its wide copy.
    memoryLeft_ -= 3 * static_cast<int64_t>(lua_rawlen(L, index));
    if (memoryLeft_ >= 0) return true;
    st_.Fail("Memory limit", plan_.displayName + ": " + what + " exceeds the memory limit of " +
                                 std::to_string(memoryLimitKb_) + " KB");
    lua_pop(L, 1);
    return false;
  }

  platform::Env& platform_;
  const RunPlan& plan_;
  const components::RunRequest& request_;
  RunScratch& s_;
  std::vector<Input>& params_;
  uint64_t calcId_ = 0;
  com::ComPtr<ZrCalcEnvironment> env_;
  std::shared_ptr<tags::TagSource> tags_;
  com::ComPtr<IDispatch> units_;
  RunState st_;
  Variant result_;
  int64_t memoryLeft_ = 0, memoryLimitKb_ = 0;
};

}  // namespace

HRESULT ZrCalculation::Run(const components::RunRequest& request, components::RunOutcome* outcome) {
  const std::shared_ptr<const RunPlan> plan = Plan();

  // The buffers are the thread's, unless a run on this thread is already using them.
  thread_local RunScratch threadScratch;
  std::unique_ptr<RunScratch> ownScratch;
  RunScratch* scratch = &threadScratch;
  if (scratch->inUse) {
    ownScratch = std::make_unique<RunScratch>();
    scratch = ownScratch.get();
  }
  scratch->inUse = true;
  struct Release {
    RunScratch* s;
    ~Release() {
      s->tagKeys.clear();
      s->inUse = false;
    }
  } release{scratch};

  RunFrame frame(platform_, *plan, request, *scratch);
  frame.SetCalcId(id_);
  frame.Evaluate();
  const RunTimes times = RunTimesAt(platform_, request.slotUnixMs);
  frame.WriteOutputTags(times.utc);

  // Publish: parameter values and the results, as one run's.
  RunState& st = frame.State();
  LimitRunText(&st.error);
  std::lock_guard publish(publishMu_);
  frame.RecordSamples(times.utc);
  if (outcome) *outcome = components::RunOutcome{st.level, st.status, st.error};
  Locked([&] {
    f_.level = static_cast<int32_t>(st.level);
    f_.status = std::move(st.status);
    f_.errorText = std::move(st.error);
    f_.lastRunTime = times.local;
    value_ = st.Failed() ? Variant() : std::move(frame.Result());
  });
  return com::S_OK;
}

HRESULT ZrCalculation::CheckFormula() {
  const long type = CalcType();
  std::string error;
  if (type != components::kCalcTypeCalcScript) {
    error = "calculation type " + std::to_string(type) + " has no formula to check";
  } else {
    ScriptNames names;
    if (AnalyzeScript(Script(), Name().empty() ? "calculation" : Name(), &names, &error)) return com::S_OK;
  }
  SetOutcome(components::kLevelError, "Compile error", error);
  return components::E_FORMULA_INVALID;
}

HRESULT ZrCalculation::PrepareExecution() {
  if (CalcType() != components::kCalcTypeCalcScript) return com::S_OK;
  LuaRuntime& rt = ThreadRuntime();
  std::string error;
  if (rt.Busy()) return com::S_OK;
  // The run finds it by this object, as Run looks it up.
  if (rt.PushBodyFor(id_, 0, Script(), Name().empty() ? "calculation" : Name(), &error)) lua_pop(rt.L(), 1);
  return com::S_OK;
}

HRESULT ZrCalculation::CreateParams(const Bstr& autoBindingHosts, Variant* unused, Variant* unbound) {
  if (unused) *unused = Variant();
  if (unbound) *unbound = Variant();
  ScriptNames names;
  std::string error;
  const std::string script = Script();
  if (!AnalyzeScript(script, Name().empty() ? "calculation" : Name(), &names, &error)) {
    SetOutcome(components::kLevelError, "Compile error", error);
    return components::E_FORMULA_INVALID;
  }
  const com::ComPtr<ZrCalcEnvironment> env = Environment();

  // Free names that are libraries in the store become libraries of the calculation.
  std::vector<std::string> libs = Libraries();
  bool libsChanged = false;
  for (const auto& [global, field] : names.fields) {
    if (std::find(libs.begin(), libs.end(), global) != libs.end() || parameters_->Find(global)) continue;
    com::ComPtr<IDispatch> lib;
    if (env) env->GetLibrary(Bstr::FromUtf8(global), &lib);
    if (lib) {
      libs.push_back(global);
      libsChanged = true;
    }
  }
  if (libsChanged) SetLibraries(libs);

  std::vector<std::string> hosts;
  {
    const std::string list = autoBindingHosts.ToUtf8();
    size_t pos = 0;
    while (pos <= list.size()) {
      size_t end = list.find_first_of(";,", pos);
      if (end == std::string::npos) end = list.size();
      std::string h = list.substr(pos, end - pos);
      const auto b = h.find_first_not_of(" \t"), e = h.find_last_not_of(" \t");
      if (b != std::string::npos) hosts.push_back(h.substr(b, e - b + 1));
      pos = end + 1;
    }
  }
  std::shared_ptr<tags::TagSource> tags = env && !hosts.empty() ? env->Tags() : nullptr;

  const std::set<std::string> read(names.read.begin(), names.read.end());
  const std::set<std::string> written(names.written.begin(), names.written.end());
  std::vector<std::string> unboundNames;
  for (const std::string& g : names.globals) {
    if (SandboxNames().count(g) || std::find(libs.begin(), libs.end(), g) != libs.end()) continue;
    if (parameters_->Find(g)) continue;
    bool bound = false;
    for (const std::string& host : hosts) {
      tags::TagSample s;
      if (!tags || tags->Read(host, g, &s) != tags::TagStatus::kOk) continue;
      ParameterFields f;
      f.name = g;
      f.kind = static_cast<int32_t>(kParamTag);
      f.direction = static_cast<int32_t>(written.count(g) ? (read.count(g) ? components::kParamInOut
                                                                            : components::kParamOut)
                                                          : components::kParamIn);
      f.serverName = host;
      f.tagName = g;
      f.units = s.units;
      bound = AddParameter(f, Variant());
      break;
    }
    if (!bound) unboundNames.push_back(g);
  }
  std::vector<std::string> unusedNames;
  const std::set<std::string> used(names.globals.begin(), names.globals.end());
  for (const auto& p : parameters_->Names())
    if (!used.count(p)) unusedNames.push_back(p);
  if (unused) *unused = com::StringListVariant(unusedNames);
  if (unbound) *unbound = com::StringListVariant(unboundNames);
  return com::S_OK;
}

}  // namespace kv::engine
