// The edit owner string and the commands that read it.
#include "store/edit_owner.h"

#include <algorithm>
#include <cstdio>

#include "command_object/calc_cmd_base.h"
#include "base/error_codes.h"
#include "command_object/shared_objects.h"
#include "platform/env.h"
#include "store/store_names.h"
#include "store/store_objects.h"
#include "store/store_commands.h"

namespace kv::store {

std::string FormatOwnerDate(const platform::SystemTime& t) {
  static constexpr const char* kDays[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
  static constexpr const char* kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                                            "July",    "August",   "September", "October", "November", "December"};
  if (t.dayOfWeek < 0 || t.dayOfWeek > 6 || t.month < 1 || t.month > 12) return "";
  char buf[128];
  const int n = std::snprintf(buf, sizeof buf, "%s, %s %02d, %d %02d:%02d:%02d", kDays[t.dayOfWeek],
                              kMonths[t.month - 1], t.day, t.year, t.hour, t.minute, t.second);
  return n > 0 && static_cast<size_t>(n) < sizeof buf ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::string MakeOwnerString(std::string_view node, std::string_view editor, double now) {
  platform::SystemTime time;
  std::string date;
  if (platform::OleDateToSystemTime(now, &time)) date = FormatOwnerDate(time);
  std::string owner = "(";
  owner.append(node).append(")(").append(editor).append(")(").append(date).append(")");
  return owner;
}

void ParseOwnerString(std::string_view owner, std::string* node, std::string* editor, std::string* date) {
  std::string_view rest = owner.substr(owner.empty() ? 0 : 1);
  for (std::string* out : {node, editor, date}) {
    const size_t close = rest.find(')');
    // No ')' counts as position -1: one character is dropped.
    const size_t drop = close == std::string_view::npos ? 1 : close + 2;
    if (close != std::string_view::npos && close > 0) out->assign(rest.substr(0, close));
    rest.remove_prefix(std::min(drop, rest.size()));
  }
}

bool GetEditOwner(CCalcCmdBase& cmd, IDispatch* object, Bstr* node, Bstr* editor, Bstr* date) {
  cmd.ResetLastError();
  Variant owner;
  if (com::FAILED(com::GetProperty(object, "EditOwner", &owner)) || owner.vt() != com::VT_BSTR)
    return cmd.Failed(CMDERR_CDB_FIELD_ACCESS);
  std::string parts[3];
  store::ParseOwnerString(owner.bstr().ToUtf8(), &parts[0], &parts[1], &parts[2]);
  Bstr* outs[3] = {node, editor, date};
  for (int i = 0; i < 3; ++i)
    if (!parts[i].empty() && outs[i]) *outs[i] = Bstr::FromUtf8(parts[i]);
  return true;
}

bool GetCalculationEditOwner(CCalcCmdBase& cmd, const Bstr& name, Bstr* node, Bstr* editor, Bstr* date) {
  cmd.ResetLastError();
  std::string base;
  if (!cmd.RequireBaseDirectory(&base)) return false;
  ComPtr<IDispatch> calc;
  if (g_pEnvironment && store::IsStoreCalculationName(name.ToUtf8()))
    g_pEnvironment->GetCalculation(name, cmd.CalculationDirectoryArgument(), &calc);
  if (!calc) return cmd.Failed(CMDERR_LOAD_FROM_FILE);
  return GetEditOwner(cmd, calc.Get(), node, editor, date);
}

bool GetLibraryEditOwner(CCalcCmdBase& cmd, const Bstr& name, Bstr* node, Bstr* editor, Bstr* date) {
  cmd.ResetLastError();
  ComPtr<IDispatch> lib;
  if (g_pEnvironment && store::IsSafeLibraryName(name.ToUtf8())) g_pEnvironment->GetLibrary(name, &lib);
  if (!lib) return cmd.Failed(CMDERR_LOAD_FROM_FILE);
  return GetEditOwner(cmd, lib.Get(), node, editor, date);
}

}  // namespace kv::store
