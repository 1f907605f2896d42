#pragma once
// What the system asks of the schedule components: the named collection that holds the
// schedule groups (and, in a second instance, the measurement types of the units table), and the
// schedule group itself. The scheduler reaches them only through these interfaces and the class
// registry; their insides live in src/engine/.
//
// Both components accept concurrent calls from several threads (the apartment threads that run
// commands and the group threads).
#include "components/calc_components.h"

namespace kv::components {

inline constexpr com::CLSID CLSID_ZrCollection = com::MakeGuid("060C2313-E609-11D2-B903-00805F712C95");
inline constexpr com::IID IID_IZrCollection = com::MakeGuid("060C2312-E609-11D2-B903-00805F712C95");
inline constexpr com::CLSID CLSID_ZrScheduleGroup = com::MakeGuid("655997C3-E956-11D2-B905-00805F712C95");
inline constexpr com::IID IID_IZrScheduleGroup = com::MakeGuid("655997C2-E956-11D2-B905-00805F712C95");

// A collection of objects kept in the order they were added, each under a name (compared
// exactly, letter case included). The collection also answers IZrPersistFile: SaveToFile writes
// every item with its whole content, LoadFromFile replaces the content with the file's.
class IZrCollection : public virtual IUnknown {
 public:
  // Stores `item` under `name`. A negative result, and nothing stored, when `item` is null, when
  // the name is taken, or when the item is not an object the collection can persist.
  virtual HRESULT Add(const Bstr& name, IDispatch* item) = 0;
  virtual HRESULT Count(long* count) = 0;
  // A negative result when no item has that name.
  virtual HRESULT Remove(const Bstr& name) = 0;
  // The item at the 1-based `position`; DISP_E_BADINDEX and null outside 1..Count.
  virtual HRESULT ItemAt(long position, ComPtr<IDispatch>* item) = 0;
  // The item of that name; S_FALSE and null when there is none.
  virtual HRESULT Item(const Bstr& name, ComPtr<IDispatch>* item) = 0;
  // The names in collection order as a list result (VT_ARRAY|VT_VARIANT of VT_BSTR, lower
  // bound 0); VT_EMPTY when the collection is empty.
  virtual HRESULT NameList(Variant* names) = 0;
};

// A schedule group: its timing properties, the names of the calculations it runs, and the run
// itself. Times are OLE dates; which are local and which UTC is said per property.
class IZrScheduleGroup : public virtual IUnknown {
 public:
  // The group name; also its key in the schedule collection.
  virtual HRESULT GetName(Bstr* name) = 0;
  virtual HRESULT PutName(const Bstr& name) = 0;
  // 1 for the default groups, 0 for groups added by command, 864000 for calendar-aligned ones.
  virtual HRESULT GetScheduleClass(long* value) = 0;
  virtual HRESULT PutScheduleClass(long value) = 0;
  // 0: not monthly; 1..31: that day of each month; -1: the last day of the month.
  virtual HRESULT GetDayOfMonth(long* value) = 0;
  virtual HRESULT PutDayOfMonth(long value) = 0;
  // 0: not weekly; 1..7: Sunday..Saturday.
  virtual HRESULT GetDayOfWeek(long* value) = 0;
  virtual HRESULT PutDayOfWeek(long value) = 0;
  // The period and the offset, in days.
  virtual HRESULT GetRate(double* value) = 0;
  virtual HRESULT PutRate(double value) = 0;
  virtual HRESULT GetOffset(double* value) = 0;
  virtual HRESULT PutOffset(double value) = 0;
  // Local times of the last and the next run; the measured interval between the last two runs.
  virtual HRESULT GetLastRunTime(double* value) = 0;
  virtual HRESULT PutLastRunTime(double value) = 0;
  virtual HRESULT GetNextRunTime(double* value) = 0;
  virtual HRESULT PutNextRunTime(double value) = 0;
  virtual HRESULT GetRunRate(double* value) = 0;
  virtual HRESULT PutRunRate(double value) = 0;
  // Milliseconds of the group thread's last pass.
  virtual HRESULT GetExecutionTime(long* value) = 0;
  virtual HRESULT PutExecutionTime(long value) = 0;
  // Thread priority -2..2.
  virtual HRESULT GetPriority(long* value) = 0;
  virtual HRESULT PutPriority(long value) = 0;
  // UTC: the base for stepping by the rate, the next run time the thread obeys, the last run.
  virtual HRESULT GetComputedRunTime(double* value) = 0;
  virtual HRESULT PutComputedRunTime(double value) = 0;
  virtual HRESULT GetNextRunTimeUtc(double* value) = 0;
  virtual HRESULT PutNextRunTimeUtc(double value) = 0;
  virtual HRESULT GetLastRunTimeUtc(double* value) = 0;
  virtual HRESULT PutLastRunTimeUtc(double value) = 0;

  // The live collection of scheduled items, keyed by calculation name.
  virtual HRESULT Items(ComPtr<IZrCollection>* items) = 0;
  // Schedules the calculation `name` (no calculation of that name needs to exist) and hands out
  // the new item; a negative result when the group already schedules that name.
  virtual HRESULT AddItem(const Bstr& name, ComPtr<IDispatch>* item) = 0;
  // The item of that name; S_FALSE and null when the group does not schedule it.
  virtual HRESULT FindItem(const Bstr& name, ComPtr<IDispatch>* item) = 0;
  // A negative result when the group does not schedule that name.
  virtual HRESULT RemoveItem(const Bstr& name) = 0;
  // The two operations the calculation summary walks the schedule with: the number of
  // scheduled items, and the calculation name of the item at a 1-based position
  // (DISP_E_BADINDEX outside 1..ItemCount).
  virtual HRESULT ItemCount(long* count) = 0;
  virtual HRESULT ItemName(long position, Bstr* name) = 0;
  // Runs the calculation of every scheduled item through the calculation environment and
  // records each item's outcome on the item. `context` (null when none) is the workspace
  // context of the run. S_OK when every item ran, S_FALSE when one or more failed.
  virtual HRESULT Execute(const Bstr& context) = 0;
  virtual HRESULT SetStoreAndForward(com::VARIANT_BOOL enabled) = 0;
  // Local time of the first computed run.
  virtual HRESULT GetFirstRunTime(double* value) = 0;
  virtual HRESULT PutFirstRunTime(double value) = 0;
  // The periodic refresh between runs; `force` non-zero for the full refresh.
  virtual HRESULT Refresh(com::VARIANT_BOOL storeAndForward, int16_t force) = 0;
  // Moves forward whenever the group's set of items changes; 0.0 until the first change or
  // until the group thread stamps it.
  virtual HRESULT GetChangeStamp(double* value) = 0;
  virtual HRESULT PutChangeStamp(double value) = 0;
};

}  // namespace kv::components
