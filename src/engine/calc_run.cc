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

constexpr double kUnixEpochOle = 25569.0;

// The environment object of the server, when it is ours.
com::ComPtr<ZrCalcEnvironment> Environment() {
  components::IServerObjects* objects = ServerObjects();
  if (!objects) return nullptr;
  return com::ComPtr<ZrCalcEnvironment>(dynamic_cast<ZrCalcEnvironment*>(objects->Environment().Get()));
}

double UtcNowOle() {
  platform::Env* env = ServerPlatform();
  platform::Clock& clock = env && env->clock ? *env->clock : platform::RealClock();
  return static_cast<double>(clock.NowUnixMs()) / 86400000.0 + kUnixEpochOle;
}

// One reading of the clock as UTC (milliseconds kept) and as local time in whole seconds: the
// time a run's outputs carry and the run's LastRunTime are the same instant.
struct RunTimes {
  double utc, local;
};
RunTimes ReadRunTimes() {
  platform::Env* env = ServerPlatform();
  platform::Clock& clock = env && env->clock ? *env->clock : platform::RealClock();
  const int64_t ms = clock.NowUnixMs();
  const double utc = static_cast<double>(ms) / 86400000.0 + kUnixEpochOle;
  if (!env || !env->clock || !env->zone) return {utc, utc};
  return {utc, platform::LocalOleDateAt(*env->zone, ms)};
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
bool ReadInput(ZrCalcEnvironment* env, com::IDispatch* units, Input* in, RunState* st, tags::TagSample* read,
               tags::TagStatus readStatus) {
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
      in->time = UtcNowOle();
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

// The compiler's message for the script as the user wrote it.
std::string CompileMessage(const std::string& script, const std::string& name, const std::string& fallback) {
  ScriptNames names;
  std::string error;
  return AnalyzeScript(script, name, &names, &error) ? fallback : error;
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
  Run(CurrentRunContext());
  return com::S_OK;
}

void ZrCalculation::Run(const RunContext& ctx) {
  const std::shared_ptr<const RunPlan> plan = Plan();
  const long type = plan->type;
  const std::string& name = plan->displayName;
  const std::vector<std::string>& libraries = plan->libraries;

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

  std::vector<Input>& params = scratch->params;
  params.resize(plan->params.size());
  for (size_t i = 0; i < params.size(); ++i) {
    const RunPlan::Param& p = plan->params[i];
    params[i].param = p.param.Get();
    params[i].f = &p.f;
    params[i].constant = &p.value;
  }
  const bool anyTag = plan->anyTag, anyOther = plan->anyOther;
  // A calculation of constants alone needs nothing of the environment.
  const com::ComPtr<ZrCalcEnvironment> env =
      anyOther || !libraries.empty() ? Environment() : com::ComPtr<ZrCalcEnvironment>();
  auto isInput = [](const Input& in) { return in.f->direction != components::kParamOut; };
  auto isOutput = [](const Input& in) {
    return in.f->direction == components::kParamOut || in.f->direction == components::kParamInOut;
  };

  RunState st;
  Variant result;
  std::vector<size_t>& inputs = scratch->inputs;  // positions in `params`
  std::vector<size_t>& outputs = scratch->outputs;
  std::vector<Variant>& outValues = scratch->outValues;
  inputs.clear();
  outputs.clear();
  outValues.clear();

  // A thread that is already inside a run (never the case for scripts, which cannot start one)
  // gets a state of its own rather than disturbing the outer run's stack.
  LuaRuntime* rt = &ThreadRuntime();
  std::unique_ptr<LuaRuntime> nested;
  if (rt->Busy()) {
    nested = std::make_unique<LuaRuntime>(rt->Limits());
    rt = nested.get();
  }
  lua_State* L = rt->L();
  const int top = lua_gettop(L);

  std::shared_ptr<tags::TagSource> tags = env && anyTag ? env->Tags() : nullptr;
  com::ComPtr<IDispatch> units = env && anyTag ? env->UnitConversionObject() : nullptr;

  std::string error;
  if (type != components::kCalcTypeCalcScript) {
    st.Fail("Not runnable", "calculation type " + std::to_string(type) + " cannot run; only CalcScript (4) runs");
  } else if (!rt->PushBodyFor(id_, plan->version, plan->script, name, &error)) {
    st.Fail("Compile error", CompileMessage(plan->script, name, error));
  }

  const bool ranScript = !st.Failed();
  if (ranScript) {
    rt->PushRunEnvironment();
    const int envIndex = lua_gettop(L);
    std::vector<tags::TagKey>& keys = scratch->tagKeys;
    keys.clear();
    if (tags) {
      for (const Input& in : params)
        if (isInput(in) && in.f->kind == kParamTag) keys.push_back({&in.f->serverName, &in.f->tagName});
      if (!keys.empty()) tags->ReadMany(keys, &scratch->samples, &scratch->statuses);
    }
    size_t nextSample = 0;
    for (size_t i = 0; i < params.size(); ++i) {
      Input& in = params[i];
      if (!isInput(in)) continue;
      const bool pre = tags && in.f->kind == kParamTag;
      if (!ReadInput(env.Get(), units.Get(), &in, &st, pre ? &scratch->samples[nextSample] : nullptr,
                     pre ? scratch->statuses[nextSample] : tags::TagStatus::kOk))
        break;
      if (pre) ++nextSample;
      PushVariant(L, in.f->kind == kParamConstant ? *in.constant : in.value);
      lua_setfield(L, envIndex, in.f->name.c_str());
      inputs.push_back(i);
    }
    rt->SetContext(ctx.context);
    for (const std::string& lib : libraries) {
      if (st.Failed() || !PushLibrary(*rt, env.Get(), lib, &st)) break;
      lua_setfield(L, envIndex, lib.c_str());
    }

    if (!st.Failed()) {
      RunNotes notes;
      lua_pushvalue(L, envIndex - 1);
      lua_pushvalue(L, envIndex);
      switch (rt->Call(1, 1, &error, &notes)) {
        case RunEnd::kOk: break;
        case RunEnd::kError: st.Fail("Run error", error); break;
        case RunEnd::kInstructionLimit: st.Fail("Instruction limit", error); break;
        case RunEnd::kMemoryLimit: st.Fail("Memory limit", name + ": " + error); break;
      }
      if (!st.Failed()) {
        ToVariant(L, -1, &result);
        lua_pop(L, 1);
        if (!notes.warnings.empty()) {
          st.level = components::kLevelWarning;
          st.status = "Warning";
          for (const auto& w : notes.warnings) st.error += (st.error.empty() ? "" : "; ") + w;
        }
      }
    }
    if (!st.Failed()) {
      for (size_t i = 0; i < params.size(); ++i) {
        if (!isOutput(params[i])) continue;
        const std::string& pname = params[i].f->name;
        // Raw: an output never reads through to the sandbox's globals.
        lua_pushlstring(L, pname.data(), pname.size());
        lua_rawget(L, envIndex);
        Variant v;
        const bool ok = ToVariant(L, -1, &v);
        const std::string typeName = ok ? std::string() : luaL_typename(L, -1);
        lua_pop(L, 1);
        if (!ok) {
          st.Fail("Output error", "output " + pname + ": a " + typeName + " cannot be stored");
          break;
        }
        // An output the script left unset keeps its value: nothing is written for it.
        if (v.IsEmpty()) continue;
        outputs.push_back(i);
        outValues.push_back(std::move(v));
      }
      if (!st.Failed() && result.IsEmpty() && !outValues.empty()) result = outValues.front();
    }
    // The names this run bound or read go first, by name; EndRunEnvironment finds the rest.
    for (const Input& in : params) {
      lua_pushnil(L);
      lua_setfield(L, envIndex, in.f->name.c_str());
    }
    for (const std::string& lib : libraries) {
      lua_pushnil(L);
      lua_setfield(L, envIndex, lib.c_str());
    }
  }
  lua_settop(L, top);
  if (ranScript) rt->EndRunEnvironment();

  // Publish: tag writes, parameter values and the results, as one run's.
  std::lock_guard publish(publishMu_);
  const RunTimes now = ReadRunTimes();
  const double nowUtc = now.utc;
  if (!st.Failed()) {
    std::vector<tags::TagWrite> writes;
    std::vector<size_t> writeOf;
    for (size_t o = 0; o < outputs.size() && !st.Failed(); ++o) {
      const ParameterFields& f = *params[outputs[o]].f;
      if (f.kind != kParamTag) continue;
      if (!tags) {
        st.Fail("Output error", "output " + f.name + ": no tag store");
        break;
      }
      tags::TagSample current;
      Variant v = outValues[o];
      if (tags->Read(f.serverName, f.tagName, &current) == tags::TagStatus::kOk) {
        std::string cerr;
        if (!Convert(units.Get(), f.units, current.units, &v, &cerr)) {
          st.Fail("Units error", "output " + f.name + ": " + cerr);
          break;
        }
      }
      writes.push_back(tags::TagWrite{f.serverName, f.tagName, ToTagValue(v), tags::kQualityGood, nowUtc});
      writeOf.push_back(o);
    }
    if (!st.Failed() && !writes.empty()) {
      const bool sf = ctx.storeAndForward >= 0 ? ctx.storeAndForward != 0 : (env && env->StoreAndForward());
      std::vector<tags::TagStatus> outcome;
      tags->Write(writes, sf, &outcome);
      for (size_t w = 0; w < writes.size(); ++w) {
        if (outcome[w] == tags::TagStatus::kOk) continue;
        const std::string what = "output " + params[outputs[writeOf[w]]].f->name + ": " + writes[w].server + "/" +
                                 writes[w].tag + ": " + tags::TagStatusText(outcome[w]);
        if (outcome[w] == tags::TagStatus::kSpooled) {
          if (st.level < components::kLevelWarning) st.level = components::kLevelWarning, st.status = "Warning";
          st.error += (st.error.empty() ? "" : "; ") + what;
        } else {
          st.Fail("Output error", what);
          break;
        }
      }
    }
  }
  // Constants keep their value; what was read from tags and calculations is recorded.
  for (size_t i : inputs)
    if (params[i].f->kind != kParamConstant) params[i].param->SetSample(params[i].value, params[i].quality, params[i].time);
  if (!st.Failed())
    for (size_t o = 0; o < outputs.size(); ++o) params[outputs[o]].param->SetSample(outValues[o], kQualityGood, nowUtc);
  const double when = now.local;
  Locked([&] {
    f_.level = static_cast<int32_t>(st.level);
    f_.status = std::move(st.status);
    f_.errorText = std::move(st.error);
    f_.lastRunTime = when;
    value_ = st.Failed() ? Variant() : std::move(result);
  });
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
