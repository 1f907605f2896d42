#pragma once
// The schedule's persistence and structure: loading g_pScheduleObject at start-up from
// "<g_BasePath>\bin\Schedules.zrc" (or its backup, or the five default groups), saving it with
// its backup, creating groups, and finding them. The collection and group objects are created
// through the class registry (CLSID_ZrCollection, CLSID_ZrScheduleGroup).
//
// Locking: these routines take no lock. Callers that change the schedule's structure (adding or
// removing groups and items) hold ScheduleLock (kSiteScheduleCommand) across the change and the save that
// follows it; property reads and writes on groups need no lock.
#include <string>
#include <string_view>

#include "com/bstr.h"
#include "com/hresult.h"
#include "components/schedule_components.h"
#include "persist/collection_io.h"

namespace kv::scheduler {

using com::Bstr;
using com::ComPtr;
using com::FAILED;
using com::HRESULT;
using com::SUCCEEDED;
using components::IZrCollection;
using components::IZrScheduleGroup;
// The schedule is a collection file: its code reads, writes and searches it with these.
using persist::EnsureBinDirectory;
using persist::ItemAs;
using persist::ItemAtAs;
using persist::LoadCollection;
using persist::NewCollection;
using persist::SaveCollection;

// "<g_BasePath>\bin\Schedules.zrc" and "<g_BasePath>\bin\Schedules_Backup.zrc".
std::string ScheduleFilePath();
std::string ScheduleBackupPath();
// Creates "<g_BasePath>\bin" when it is missing, in the file system of the server objects
// (command_object/shared_objects.h), whose files the schedule's are.
void EnsureBinDirectory();

struct DefaultGroup {
  const char* name;
  double rate;  // days
};
// "FiveSec", "FifteenSec", "OneMinute", "OneHour", "OneDay", in this order; each created with
// offset 0, no day rule and schedule class 1.
inline constexpr DefaultGroup kDefaultGroups[] = {
    {"FiveSec", 5.0 / 86400.0},    {"FifteenSec", 15.0 / 86400.0}, {"OneMinute", 1.0 / 1440.0},
    {"OneHour", 1.0 / 24.0},       {"OneDay", 1.0},
};
inline constexpr long kDefaultScheduleClass = 1;
inline constexpr long kCommandScheduleClass = 0;

// Start-up: sets g_pScheduleObject from the main file; else deletes the main file, moves the
// backup into its place and loads that; else creates the five default groups and saves them at
// once (writing both files). g_pScheduleObject stays null only when no collection can be
// created.
void GetScheduleObject();
// Saves the main file and, only when that succeeded, the backup; the result of the last save
// made. E_POINTER for a null collection. Creates "<g_BasePath>\bin" when it is missing.
HRESULT SaveScheduleObject(IZrCollection* collection);

// Creates a group with these properties (and NextRunTime and NextRunTimeUtc 1.0, a time long
// past, when the rate is positive, so that its first pass computes a real next time) and adds it
// to `collection` under `name`; the result of adding is not examined. Returns the result of
// creating the group object.
HRESULT CreateScheduleGroup(IZrCollection* collection, const Bstr& name, double rate, double offset,
                            long dayOfMonth, long dayOfWeek, long scheduleClass);

// The group of that name, or at that 1-based position, in g_pScheduleObject (ItemAs and
// ItemAtAs of persist/collection_io.h): S_OK and the group, S_FALSE and null when there is none,
// E_POINTER and null when there is no schedule.
HRESULT FindGroup(const Bstr& name, ComPtr<IZrScheduleGroup>* group);
HRESULT GroupAt(long position, ComPtr<IZrScheduleGroup>* group);

}  // namespace kv::scheduler
