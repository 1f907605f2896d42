#pragma once
// The steps end-to-end tests of the scheduler share: a command object on a new connection, and a
// schedule group of its own running some calculations.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "client/connection.h"
#include "client/remote_object.h"
#include "e2e/server_process.h"

namespace kv::testing {

inline ::testing::AssertionResult OpenCommands(const ServerProcess& server, std::shared_ptr<client::Connection>* conn,
                                               std::shared_ptr<client::RemoteObject>* obj) {
  if (!client::Connection::Open(server.Address(), conn).ok()) return ::testing::AssertionFailure() << "no connection";
  if (!(*conn)->CreateInstance("Kelvarin.CalcCommands", obj).ok())
    return ::testing::AssertionFailure() << "no command object";
  return ::testing::AssertionSuccess();
}

// AddScheduleGroup `group` running every second, then AddScheduledItem for each calculation.
inline ::testing::AssertionResult AddOneSecondGroup(client::RemoteObject& obj, const std::string& group,
                                                    const std::vector<std::string>& calculations) {
  using com::Variant;
  client::CallResult r;
  if (!obj.Call("AddScheduleGroup",
                {Variant::Str(group), Variant::Date(1.0 / 86400), Variant::R8(0), Variant::I4(0), Variant::I4(0)}, &r)
           .ok() ||
      r.result != Variant::Bool(true))
    return ::testing::AssertionFailure() << "AddScheduleGroup " << group;
  for (const std::string& calc : calculations)
    if (!obj.Call("AddScheduledItem", {Variant::Str(group), Variant::Str(calc)}, &r).ok() ||
        r.result != Variant::Bool(true))
      return ::testing::AssertionFailure() << "AddScheduledItem " << group << " " << calc;
  return ::testing::AssertionSuccess();
}

}  // namespace kv::testing
