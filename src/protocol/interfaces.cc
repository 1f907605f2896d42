// The interface tables without their handlers, for clients and for the wire description.
#include "protocol/method_info.h"

// Handlers live in the server's dispatch layer; a client's view of a row has none.
#define KV_COMMAND(command) nullptr
#define KV_BINDING(function) nullptr
#define KV_NOT_BUILT nullptr

namespace kv {
using namespace table_rows;

const InterfaceTable& ICalcCommandsInterface() {
  static const InterfaceTable table =
#include "protocol/icalc_commands.inc"
      ;
  return table;
}

const InterfaceTable& ICalcAppCommandsInterface() {
  static const InterfaceTable table =
#include "protocol/icalc_app_commands.inc"
      ;
  return table;
}

}  // namespace kv
