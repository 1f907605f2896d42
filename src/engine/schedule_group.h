#pragma once
// ZrScheduleGroup: a schedule group with its timing properties and the collection of its
// scheduled items; ZrScheduledItem: one scheduled calculation name with the outcome of its last
// run. Both thread-safe: the group threads and the command threads call one group at once.
//
// Group properties by name (IDispatch): every IZrScheduleGroup property under its own name
// ("Rate" and "Offset" VT_R8, the times VT_DATE, the rest VT_I4, "Name" VT_BSTR), "Items" (the
// item collection), the read-only "StoreAndForward" (VT_BOOL), "LastContext" (the context of
// the last Execute), "RefreshCount" and "ForcedRefreshCount", and the methods "AddItem",
// "FindItem", "RemoveItem" (a calculation name each) and "Execute" (an optional context).
//
// Item properties: "Name", "Status" (kItemNotRun, kItemRan, kItemFailed), "ErrorText" and
// "LastRunTime" (local), all read-only.
#include <string>

#include "components/schedule_components.h"
#include "engine/collection.h"
#include "engine/field_object.h"
#include "engine/run_failure_log.h"
#include "engine/server_context.h"

namespace kv::engine {

inline constexpr int32_t kItemNotRun = 0;
inline constexpr int32_t kItemRan = 1;
inline constexpr int32_t kItemFailed = -1;

struct ScheduledItemFields {
  std::string name;
  int32_t status = kItemNotRun;
  std::string errorText;
  double lastRunTime = 0;

  template <class F, class V>
  static void Visit(F& f, V& v) {
    v.Text("Name", f.name, kFieldRequired | kFieldReadOnly);
    v.Long("Status", f.status, kFieldReadOnly);
    v.Text("ErrorText", f.errorText, kFieldReadOnly);
    v.Date("LastRunTime", f.lastRunTime, kFieldReadOnly);
  }
};

// How an item's runs went since the server started (not persisted): the count of runs and of
// failures, and what the last run left.
struct ItemHealth {
  std::string name;
  uint64_t runs = 0, failures = 0;
  long level = 0;
  std::string status, errorText;
  double lastRunTime = 0;  // local OLE date; 0 never
};

class ZrScheduledItem : public com::ComObject<FieldObject<ScheduledItemFields>> {
 public:
  ZrScheduledItem();
  explicit ZrScheduledItem(std::string name);

  std::string Name() const;
  int32_t Status() const;
  std::string ErrorText() const;
  ItemHealth Health() const;
  // Records the outcome of a run at the local time `when`: kItemRan or kItemFailed, the failure's
  // text, and the Level and Status the calculation's run left.
  void RecordRun(int32_t status, std::string errorText, const components::RunOutcome& outcome, double when);

 protected:
  const char* RootName() const override { return "ScheduledItem"; }
  const char* ClassName() const override { return "ZrScheduledItem"; }

 private:
  ItemHealth health_;  // guarded by mu_
};

struct ScheduleGroupFields {
  static constexpr const char* kNested = "Items";

  std::string name;
  int32_t scheduleClass = 0;
  int32_t dayOfMonth = 0;
  int32_t dayOfWeek = 0;
  double rate = 0;
  double offset = 0;
  double lastRunTime = 0;
  double nextRunTime = 0;
  double runRate = 0;
  int32_t executionTime = 0;
  int32_t priority = 0;
  double computedRunTime = 0;
  double nextRunTimeUtc = 0;
  double lastRunTimeUtc = 0;
  double firstRunTime = 0;
  double changeStamp = 0;

  template <class F, class V>
  static void Visit(F& f, V& v) {
    v.Text("Name", f.name, kFieldRequired);
    v.Long("ScheduleClass", f.scheduleClass);
    v.Long("DayOfMonth", f.dayOfMonth);
    v.Long("DayOfWeek", f.dayOfWeek);
    v.Double("Rate", f.rate);
    v.Double("Offset", f.offset);
    v.Date("LastRunTime", f.lastRunTime);
    v.Date("NextRunTime", f.nextRunTime);
    v.Date("RunRate", f.runRate);
    v.Long("ExecutionTime", f.executionTime);
    v.Long("Priority", f.priority);
    v.Date("ComputedRunTime", f.computedRunTime);
    v.Date("NextRunTimeUtc", f.nextRunTimeUtc);
    v.Date("LastRunTimeUtc", f.lastRunTimeUtc);
    v.Date("FirstRunTime", f.firstRunTime);
    v.Date("ChangeStamp", f.changeStamp);
  }
};

class ZrScheduleGroup : public com::ComObject<components::IZrScheduleGroup, FieldCollectionObject<ScheduleGroupFields>> {
  using Fields = ScheduleGroupFields;

 public:
  ZrScheduleGroup();

  HRESULT GetName(Bstr* name) override { return ReadField(f_, &Fields::name, name); }
  HRESULT PutName(const Bstr& name) override { return WriteField(f_, &Fields::name, name); }
  HRESULT GetScheduleClass(long* value) override { return ReadField(f_, &Fields::scheduleClass, value); }
  HRESULT PutScheduleClass(long value) override { return WriteField(f_, &Fields::scheduleClass, value); }
  HRESULT GetDayOfMonth(long* value) override { return ReadField(f_, &Fields::dayOfMonth, value); }
  HRESULT PutDayOfMonth(long value) override { return WriteField(f_, &Fields::dayOfMonth, value); }
  HRESULT GetDayOfWeek(long* value) override { return ReadField(f_, &Fields::dayOfWeek, value); }
  HRESULT PutDayOfWeek(long value) override { return WriteField(f_, &Fields::dayOfWeek, value); }
  HRESULT GetRate(double* value) override { return ReadField(f_, &Fields::rate, value); }
  HRESULT PutRate(double value) override { return WriteField(f_, &Fields::rate, value); }
  HRESULT GetOffset(double* value) override { return ReadField(f_, &Fields::offset, value); }
  HRESULT PutOffset(double value) override { return WriteField(f_, &Fields::offset, value); }
  HRESULT GetLastRunTime(double* value) override { return ReadField(f_, &Fields::lastRunTime, value); }
  HRESULT PutLastRunTime(double value) override { return WriteField(f_, &Fields::lastRunTime, value); }
  HRESULT GetNextRunTime(double* value) override { return ReadField(f_, &Fields::nextRunTime, value); }
  HRESULT PutNextRunTime(double value) override { return WriteField(f_, &Fields::nextRunTime, value); }
  HRESULT GetRunRate(double* value) override { return ReadField(f_, &Fields::runRate, value); }
  HRESULT PutRunRate(double value) override { return WriteField(f_, &Fields::runRate, value); }
  HRESULT GetExecutionTime(long* value) override { return ReadField(f_, &Fields::executionTime, value); }
  HRESULT PutExecutionTime(long value) override { return WriteField(f_, &Fields::executionTime, value); }
  HRESULT GetPriority(long* value) override { return ReadField(f_, &Fields::priority, value); }
  HRESULT PutPriority(long value) override { return WriteField(f_, &Fields::priority, value); }
  HRESULT GetComputedRunTime(double* value) override { return ReadField(f_, &Fields::computedRunTime, value); }
  HRESULT PutComputedRunTime(double value) override { return WriteField(f_, &Fields::computedRunTime, value); }
  HRESULT GetNextRunTimeUtc(double* value) override { return ReadField(f_, &Fields::nextRunTimeUtc, value); }
  HRESULT PutNextRunTimeUtc(double value) override { return WriteField(f_, &Fields::nextRunTimeUtc, value); }
  HRESULT GetLastRunTimeUtc(double* value) override { return ReadField(f_, &Fields::lastRunTimeUtc, value); }
  HRESULT PutLastRunTimeUtc(double value) override { return WriteField(f_, &Fields::lastRunTimeUtc, value); }

  HRESULT Items(com::ComPtr<components::IZrCollection>* items) override;
  HRESULT AddItem(const Bstr& name, com::ComPtr<com::IDispatch>* item) override;
  HRESULT FindItem(const Bstr& name, com::ComPtr<com::IDispatch>* item) override;
  HRESULT RemoveItem(const Bstr& name) override;
  HRESULT ItemCount(long* count) override;
  HRESULT ItemName(long position, Bstr* name) override;
  // Each item's calculation is fetched from g_pEnvironment (main store) and its "Calculate"
  // method called by name with the context (scripts read it as "Context") and the group's
  // store-and-forward switch; an item whose calculation is missing, has no such method, fails
  // or ends its run with Level 2 is recorded as kItemFailed with the reason. Runs without the
  // group's lock.
  HRESULT Execute(const Bstr& context) override;
  HRESULT SetStoreAndForward(com::VARIANT_BOOL enabled) override;
  HRESULT GetFirstRunTime(double* value) override { return ReadField(f_, &Fields::firstRunTime, value); }
  HRESULT PutFirstRunTime(double value) override { return WriteField(f_, &Fields::firstRunTime, value); }
  // Records the store-and-forward flag and counts the refresh; with the flag on, forwards the
  // tag writes spooled while their server was offline. The group holds nothing that goes stale
  // between runs.
  HRESULT Refresh(com::VARIANT_BOOL storeAndForward, int16_t force) override;
  HRESULT GetChangeStamp(double* value) override { return ReadField(f_, &Fields::changeStamp, value); }
  HRESULT PutChangeStamp(double value) override { return WriteField(f_, &Fields::changeStamp, value); }

  std::string Name() const;
  const com::ComPtr<ZrCollection>& ItemCollection() const { return Nested(); }

 protected:
  const char* RootName() const override { return "ScheduleGroup"; }
  const char* ClassName() const override { return "ZrScheduleGroup"; }

 private:
  // Moves ChangeStamp to now, or just past its value when the clock has not moved beyond it.
  void BumpChangeStamp();

  // The platform of the server that made it, kept for its lifetime: its clock times each pass.
  platform::Env& platform_ = EnginePlatform();
  // What the log has been told of failing items.
  RunFailureLog failureLog_;
  // Guarded by mu_, not persisted.
  bool storeAndForward_ = false;
  std::string lastContext_;
  int32_t refreshCount_ = 0;
  int32_t forcedRefreshCount_ = 0;
};

}  // namespace kv::engine
