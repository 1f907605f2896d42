#pragma once
// A small command object for transport tests, registered as "Kelvarin.TestCommands" (and
// ".1", and kFakeCommandsClsid). Its table, IFakeCommands:
//   1 Echo(in BSTR text) -> BSTR                 the text
//   2 AddTo(in/out long value, in long delta) -> bool   value += delta; true when >= 0
//   3 NewChild(in BSTR name) -> IDispatch        a new child object with that Name
//   4 SameChild() -> IDispatch                   the same child every time
//   5 NameOf(in IDispatch obj) -> BSTR           obj's Name, "" for null
//   6 Roundtrip(in VARIANT value, in/out VARIANT copy) -> VARIANT   copy = value; returns value
//   7 OnOwnApartment() -> bool                   runs on the thread that created the object
//   8 Scale(in double x, in DATE when, in bool negate) -> double    (negate ? -x : x) + when
//   9 NewCommands() -> IDispatch                 another IFakeCommands object
//  10 CallerName() -> BSTR                       the call context's identity ("<no context>" without one)
// Objects count themselves, notice when they are destroyed off their creating thread, and
// notice when they are made or called on `busThread` (where object code must never run).
#include <atomic>
#include <thread>

#include "com/guid.h"
#include "dispatch/calc_commands.h"

namespace kv::testing {

inline constexpr com::CLSID kFakeCommandsClsid = com::MakeGuid("6B1D5A2E-0000-4000-8000-00000000F00D");

const InterfaceTable& FakeCommandsTable();
void RegisterFakeCommands();

struct FakeCounters {
  static std::atomic<int> liveCommands;
  static std::atomic<int> liveChildren;
  static std::atomic<int> destroyedOffThread;
  static std::atomic<int> invokes;
  static std::atomic<int> ranOnBusThread;
  static std::atomic<std::thread::id> busThread;
};

}  // namespace kv::testing
