// The interface tables with their handlers.
#include "dispatch/method_tables.h"

#include "base/error_codes.h"
#include "base/store_layout.h"
#include "config/config.h"
#include "dispatch/command_binding.h"
#include "exchange/exchange_commands.h"
#include "execution/execution_commands.h"
#include "scheduler/schedule_commands.h"
#include "store/store_commands.h"
#include "store/store_names.h"
#include "units/units_commands.h"

namespace kv {

void NotBuilt(CommandCall&) {}

namespace {

// The application interface's own SetBaseDirectory: the application directory must exist.
void SetApplicationDirectory(CommandCall& c) {
  c.cmd.ResetLastError();
  const std::string name = c.args[0].bstr().ToUtf8();
  if (name.empty()) {
    c.cmd.SetCommandError(CMDERR_BLANK_DIRECTORY);
    return c.SetBool(false);
  }
  if (!store::IsSafeApplicationName(name) || store::FileIsMissing(c.cmd, layout::AppDir(g_BasePath, name))) {
    c.cmd.SetCommandError(CMDERR_INVALID_DIRECTORY);
    return c.SetBool(false);
  }
  c.SetBool(c.cmd.SetBaseDirectory(name));
}

}  // namespace

#define KV_COMMAND(command) &Command<&command>
#define KV_BINDING(function) &function
#define KV_NOT_BUILT &NotBuilt

using namespace table_rows;

const InterfaceTable& ICalcCommandsTable() {
  static const InterfaceTable table =
#include "protocol/icalc_commands.inc"
      ;
  return table;
}

const InterfaceTable& ICalcAppCommandsTable() {
  static const InterfaceTable table =
#include "protocol/icalc_app_commands.inc"
      ;
  return table;
}

}  // namespace kv
