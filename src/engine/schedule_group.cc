#include "engine/schedule_group.h"

#include <cstdio>

#include "engine/calc_environment.h"
#include "engine/server_context.h"
#include "log/debug_log.h"
#include "platform/env.h"

namespace kv::engine {
namespace {

constexpr double kOneMillisecondDays = 1.0 / 86400000.0;

std::string HResultHex(HRESULT hr) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
  return buf;
}

// What one item's run gave: the reason of a failure (the call's, or the run's own error text when
// it ended with Level 2), "" when it ran; and what the run left, when it could run at all.
struct ItemRun {
  std::string failure;
  components::RunOutcome outcome;
};

ItemRun Failed(std::string why) {
  ItemRun r;
  r.outcome.level = components::kLevelError;
  r.outcome.status = "Not run";
  r.outcome.errorText = why;
  r.failure = std::move(why);
  return r;
}

// Runs one calculation of the main store for the group's pass.
ItemRun RunCalculation(components::IZrCalcEnvironment* env, const std::string& name,
                       const components::RunRequest& request) {
  com::ComPtr<com::IDispatch> item;
  env->GetCalculation(Bstr::FromUtf8(name), Bstr(), &item);
  if (!item) return Failed("calculation not found");
  auto calc = com::QueryInterface<components::IZrCalculation>(item.Get());
  if (!calc) return Failed("the calculation cannot be run (no Calculate method)");
  ItemRun r;
  const HRESULT hr = calc->Run(request, &r.outcome);
  if (FAILED(hr)) return Failed("Calculate failed (" + HResultHex(hr) + ")");
  if (r.outcome.level == components::kLevelError)
    r.failure = r.outcome.errorText.empty() ? "the calculation ended with an error" : r.outcome.errorText;
  return r;
}

// The engine's environment, when the server's is ours.
ZrCalcEnvironment* OwnEnvironment(com::ComPtr<components::IZrCalcEnvironment>* hold) {
  components::IServerObjects* objects = ServerObjects();
  *hold = objects ? objects->Environment() : nullptr;
  return dynamic_cast<ZrCalcEnvironment*>(hold->Get());
}

// A method whose one argument is a calculation name.
template <class F>
PropertyTable::Getter NameMethod(F f) {
  return [f](std::vector<Variant>& args, Variant* result) {
    Bstr name;
    HRESULT hr = StringArg(args, 0, &name);
    return FAILED(hr) ? hr : f(name, result);
  };
}

}  // namespace

std::string ZrScheduledItem::Name() const { return Locked([&] { return f_.name; }); }
int32_t ZrScheduledItem::Status() const { return Locked([&] { return f_.status; }); }
std::string ZrScheduledItem::ErrorText() const { return Locked([&] { return f_.errorText; }); }

ZrScheduledItem::ZrScheduledItem() {
  props_.Computed("Runs", [this](std::vector<Variant>&, Variant* result) {
    *result = Variant::R8(static_cast<double>(Locked([&] { return health_.runs; })));
    return com::S_OK;
  });
  props_.Computed("Failures", [this](std::vector<Variant>&, Variant* result) {
    *result = Variant::R8(static_cast<double>(Locked([&] { return health_.failures; })));
    return com::S_OK;
  });
  props_.Computed("LastLevel", [this](std::vector<Variant>&, Variant* result) {
    *result = Variant::I4(static_cast<int32_t>(Locked([&] { return health_.level; })));
    return com::S_OK;
  });
  props_.Computed("LastStatus", [this](std::vector<Variant>&, Variant* result) {
    *result = Variant::Str(Locked([&] { return health_.status; }));
    return com::S_OK;
  });
}

ZrScheduledItem::ZrScheduledItem(std::string name) : ZrScheduledItem() { f_.name = std::move(name); }

ItemHealth ZrScheduledItem::Health() const {
  return Locked([&] {
    ItemHealth h = health_;
    h.name = f_.name;
    h.errorText = f_.errorText;
    h.lastRunTime = f_.lastRunTime;
    return h;
  });
}

void ZrScheduledItem::RecordRun(int32_t status, std::string errorText, const components::RunOutcome& outcome,
                                double when) {
  Locked([&] {
    f_.status = status;
    f_.errorText = std::move(errorText);
    f_.lastRunTime = when;
    health_.runs += 1;
    health_.failures += status == kItemFailed ? 1 : 0;
    health_.level = outcome.level;
    health_.status = outcome.status;
  });
}

ZrScheduleGroup::ZrScheduleGroup() {
  props_.Computed("StoreAndForward", [this](std::vector<Variant>&, Variant* result) {
    *result = Variant::Bool(Locked([&] { return storeAndForward_; }));
    return com::S_OK;
  });
  props_.Computed("LastContext", [this](std::vector<Variant>&, Variant* result) {
    *result = Variant::Str(Locked([&] { return lastContext_; }));
    return com::S_OK;
  });
  props_.Computed("RefreshCount", [this](std::vector<Variant>&, Variant* result) {
    *result = Variant::I4(Locked([&] { return refreshCount_; }));
    return com::S_OK;
  });
  props_.Computed("ForcedRefreshCount", [this](std::vector<Variant>&, Variant* result) {
    *result = Variant::I4(Locked([&] { return forcedRefreshCount_; }));
    return com::S_OK;
  });
  props_.Method("AddItem", NameMethod([this](const Bstr& name, Variant* result) {
    com::ComPtr<com::IDispatch> item;
    HRESULT hr = AddItem(name, &item);
    if (SUCCEEDED(hr)) *result = Variant::Dispatch(item);
    return hr;
  }));
  props_.Method("FindItem", NameMethod([this](const Bstr& name, Variant* result) {
    com::ComPtr<com::IDispatch> item;
    HRESULT hr = FindItem(name, &item);
    *result = Variant::Dispatch(item);
    return hr;
  }));
  props_.Method("RemoveItem", NameMethod([this](const Bstr& name, Variant*) { return RemoveItem(name); }));
  props_.Method("Execute", [this](std::vector<Variant>& args, Variant*) {
    Bstr context;
    if (!args.empty() && !args[0].Deref().IsEmpty()) {
      HRESULT hr = StringArg(args, 0, &context);
      if (FAILED(hr)) return hr;
    }
    return Execute(context);
  });
}

std::string ZrScheduleGroup::Name() const { return Locked([&] { return f_.name; }); }

HRESULT ZrScheduleGroup::Items(com::ComPtr<components::IZrCollection>* items) { return SetOut(items, Nested()); }

HRESULT ZrScheduleGroup::AddItem(const Bstr& name, com::ComPtr<com::IDispatch>* item) {
  if (!item) return com::E_POINTER;
  *item = nullptr;
  auto added = com::MakeCom<ZrScheduledItem>(name.ToUtf8());
  HRESULT hr = Nested()->AddNamed(name.ToUtf8(), added);
  if (FAILED(hr)) return hr;
  BumpChangeStamp();
  *item = added;
  return com::S_OK;
}

HRESULT ZrScheduleGroup::FindItem(const Bstr& name, com::ComPtr<com::IDispatch>* item) {
  return Nested()->Item(name, item);
}

HRESULT ZrScheduleGroup::RemoveItem(const Bstr& name) {
  if (!Nested()->Erase(name.ToUtf8())) return kNameNotFound;
  BumpChangeStamp();
  return com::S_OK;
}

HRESULT ZrScheduleGroup::ItemCount(long* count) { return Nested()->Count(count); }

HRESULT ZrScheduleGroup::ItemName(long position, Bstr* name) {
  if (!name) return com::E_POINTER;
  const auto entries = Nested()->Entries();
  if (position < 1 || static_cast<size_t>(position) > entries.size()) return com::DISP_E_BADINDEX;
  *name = Bstr::FromUtf8(entries[static_cast<size_t>(position) - 1].name);
  return com::S_OK;
}

HRESULT ZrScheduleGroup::Execute(const Bstr& context) {
  // The pass fixes its request once: every calculation gets the same context, switch and time.
  components::RunRequest request;
  request.context = context.ToUtf8();
  request.storeAndForward = Locked([&] {
    lastContext_ = request.context;
    return storeAndForward_;
  });
  request.slotUnixMs = platform_.clock->NowUnixMs();
  components::IServerObjects* objects = ServerObjects();
  com::ComPtr<components::IZrCalcEnvironment> env = objects ? objects->Environment() : nullptr;
  bool allRan = true;
  const std::string group = Locked([&] { return f_.name; });
  // The pass's output tags are written in shared transactions (see TagSource::BeginBatch): a
  // crash loses at most the outputs of the pass not yet committed, never part of one run's.
  com::ComPtr<components::IZrCalcEnvironment> hold;
  ZrCalcEnvironment* own = OwnEnvironment(&hold);
  const std::shared_ptr<tags::TagSource> tagStore = own ? own->Tags() : nullptr;
  const bool batched = tagStore && tagStore->BeginBatch();
  for (const auto& entry : Nested()->Entries()) {
    ItemRun r = env ? RunCalculation(env.Get(), entry.name, request) : Failed("no calculation environment");
    const bool ran = r.failure.empty();
    allRan = allRan && ran;
    std::string message, detail;
    if (failureLog_.Note(entry.name, !ran, r.outcome.status, r.failure, platform_.clock->MonotonicMs(), &message,
                         &detail) &&
        g_DebugLog.IsOn(LogCategory::Errors))
      g_DebugLog.Write("ScheduleGroup ( " + group + " ): " + message, detail);
    if (auto* item = dynamic_cast<ZrScheduledItem*>(entry.item.Get()))
      item->RecordRun(ran ? kItemRan : kItemFailed, std::move(r.failure), r.outcome, platform_.Time().LocalNow());
  }
  if (batched && !tagStore->EndBatch()) {
    allRan = false;
    if (g_DebugLog.IsOn(LogCategory::Errors))
      g_DebugLog.Write("ScheduleGroup ( " + group + " ): output tags of this pass were lost: the tag store's commit failed",
                       "");
  }
  return allRan ? com::S_OK : com::S_FALSE;
}

HRESULT ZrScheduleGroup::SetStoreAndForward(com::VARIANT_BOOL enabled) {
  Locked([&] { storeAndForward_ = enabled != com::VARIANT_FALSE; });
  return com::S_OK;
}

HRESULT ZrScheduleGroup::Refresh(com::VARIANT_BOOL storeAndForward, int16_t force) {
  const bool on = storeAndForward != com::VARIANT_FALSE;
  Locked([&] {
    storeAndForward_ = on;
    ++refreshCount_;
    if (force != 0) ++forcedRefreshCount_;
  });
  com::ComPtr<components::IZrCalcEnvironment> hold;
  // Spooled writes go out, in order, to the servers that are back.
  if (ZrCalcEnvironment* env = on ? OwnEnvironment(&hold) : nullptr)
    if (auto tags = env->Tags()) tags->Forward();
  return com::S_OK;
}

void ZrScheduleGroup::BumpChangeStamp() {
  const double now = platform_.Time().NowUtc();
  Locked([&] { f_.changeStamp = now > f_.changeStamp ? now : f_.changeStamp + kOneMillisecondDays; });
}

}  // namespace kv::engine
