#include "scheduler/schedule.h"

#include "com/class_registry.h"
#include "command_object/shared_objects.h"
#include "config/config.h"
#include "platform/env.h"

namespace kv::scheduler {

std::string ScheduleFilePath() { return g_BasePath + "\\bin\\Schedules.zrc"; }
std::string ScheduleBackupPath() { return g_BasePath + "\\bin\\Schedules_Backup.zrc"; }

void GetScheduleObject() {
  const std::string main = ScheduleFilePath();
  ComPtr<IZrCollection> schedule;
  if (FAILED(LoadCollection(main, &schedule))) {
    // The schedule is one of the server objects: its files are on their file system.
    platform::FileSystem& fs = *SharedServerObjects().Platform().fs;
    fs.DeleteFile(main);
    if (fs.Rename(ScheduleBackupPath(), main) == platform::crt::kOk) LoadCollection(main, &schedule);
  }
  if (!schedule && SUCCEEDED(NewCollection(&schedule))) {
    for (const DefaultGroup& g : kDefaultGroups)
      CreateScheduleGroup(schedule.Get(), Bstr::FromUtf8(g.name), g.rate, 0.0, 0, 0, kDefaultScheduleClass);
    SaveScheduleObject(schedule.Get());
  }
  // GetScheduleObject hands the collection to clients: changes through it, its groups and their
  // items need the schedule right, as the schedule commands do.
  if (auto shared = com::QueryInterface<components::ISharedObject>(schedule))
    shared->GuardChanges(components::SharedObject::Schedule);
  g_pScheduleObject = schedule;
}

void EnsureBinDirectory() { EnsureBinDirectory(*SharedServerObjects().Platform().fs); }

HRESULT SaveScheduleObject(IZrCollection* collection) {
  if (!collection) return com::E_POINTER;
  EnsureBinDirectory();
  HRESULT hr = SaveCollection(ScheduleFilePath(), collection);
  if (SUCCEEDED(hr)) hr = SaveCollection(ScheduleBackupPath(), collection);
  return hr;
}

HRESULT CreateScheduleGroup(IZrCollection* collection, const Bstr& name, double rate, double offset,
                            long dayOfMonth, long dayOfWeek, long scheduleClass) {
  ComPtr<IZrScheduleGroup> group;
  HRESULT hr = com::CreateInstance(components::CLSID_ZrScheduleGroup, &group);
  if (FAILED(hr)) return hr;
  group->PutName(name);
  group->PutRate(rate);
  group->PutOffset(offset);
  group->PutDayOfMonth(dayOfMonth);
  group->PutDayOfWeek(dayOfWeek);
  group->PutScheduleClass(scheduleClass);
  if (rate > 0.0) {
    group->PutNextRunTime(1.0);
    group->PutNextRunTimeUtc(1.0);
  }
  if (auto disp = com::QueryInterface<com::IDispatch>(group); disp && collection) collection->Add(name, disp.Get());
  return hr;
}

HRESULT FindGroup(const Bstr& name, ComPtr<IZrScheduleGroup>* group) {
  return ItemAs(g_pScheduleObject.Get(), name, group);
}

HRESULT GroupAt(long position, ComPtr<IZrScheduleGroup>* group) {
  return ItemAtAs(g_pScheduleObject.Get(), position, group);
}

}  // namespace kv::scheduler
