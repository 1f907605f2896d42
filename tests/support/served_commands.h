#pragma once
// The real transport server on a private socket in a temporary directory, serving stand-in
// command objects registered as Kelvarin.CalcCommands and Kelvarin.CalcAppCommands. The
// stand-ins answer a few methods of the real tables:
//   CalcCommandVersion                 "6.1.0"
//   GetConversion(s, s, s&, d&, d&)    UnitsOut += "!", Multiplier *= 2, Offset = 273.15; True
//   GetCalculationObject(name)         the object's one calculation (its Name property is
//                                      `name`); "missing" gives no object and error 101
//   CalcExecute(obj)                   True when obj is that calculation
//   GetServerGmtOffset(date)           date + 0.5
//   ExecuteItem(name, v)               v
//   GetCalculationList                 ["Boiler feed", "Pump"]
//   GetLibraryList                     empty, error 0 (a store without libraries)
//   GetCalculationSummary              empty, the last error left as it was
//   LibraryCrossReference(name)        empty with error 102
//   CreateCalculationObject(name, ...) the object's one calculation
//   GetLastCommandError(code&)         the last error set, as (code, text)
//   SetBaseDirectory(dir)              False with error 180 for "nowhere", else True
//   FreeUnusedComLibraries             nothing
// Every other method answers E_NOTIMPL.
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "service/apartment_pool.h"
#include "support/test_env.h"
#include "transport/server.h"

namespace kv::testing {

class ServedCommands {
 public:
  ServedCommands();
  ~ServedCommands();

  std::string address() const { return address_; }
  // Stops the server and closes every client connection.
  void Stop();

  // Table names of the objects created, and the methods called on them, in order.
  std::vector<std::string> Created();
  std::vector<std::string> Calls();
  // Stand-in command objects alive now.
  static int LiveCommands();

 private:
  TempDir dir_;
  ApartmentPool pool_{2};
  std::unique_ptr<transport::Server> server_;
  std::thread thread_;
  std::string address_;
};

}  // namespace kv::testing
