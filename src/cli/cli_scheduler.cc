#include "cli/cli_scheduler.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <ostream>

#include "client/connection.h"
#include "client/result_format.h"

namespace kv::cli {

using client::Connection;
using client::FormatDate;
using client::GroupHealthRow;
using client::ItemHealthRow;
using client::JsonString;
using client::ReadGroupHealth;
using client::Status;

namespace {

std::string Time(double date) { return date > 0.0 ? FormatDate(date) : "-"; }

std::string Fixed(double v, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

std::string JsonNumber(double v) {
  if (!std::isfinite(v)) return "null";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

}  // namespace

namespace {

// Rows of cells as aligned columns: the columns in `left` read left to right, the others line up
// on the right.
void PrintTable(const std::vector<std::vector<std::string>>& table, const std::vector<bool>& left, std::ostream& out) {
  std::vector<size_t> width(left.size(), 0);
  for (const auto& row : table)
    for (size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], row[c].size());
  for (const auto& row : table) {
    std::string line;
    for (size_t c = 0; c < row.size(); ++c) {
      const std::string pad(width[c] - row[c].size(), ' ');
      line += left[c] ? row[c] + pad : pad + row[c];
      if (c + 1 < row.size()) line += "  ";
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out << line << "\n";
  }
}

std::string ItemsJson(const std::string& group, const std::vector<ItemHealthRow>& items) {
  std::string json = "[";
  for (const ItemHealthRow& c : items) {
    if (c.group != group) continue;
    json += (json.size() > 1 ? "," : "");
    json += "{\"name\":" + JsonString(c.calculation) + ",\"runs\":" + std::to_string(c.runs) +
            ",\"failures\":" + std::to_string(c.failures) + ",\"level\":" + std::to_string(c.level) +
            ",\"status\":" + JsonString(c.status) + ",\"error_text\":" + JsonString(c.errorText) +
            ",\"last_run_utc\":" + JsonString(Time(c.lastRunUtc)) + "}";
  }
  return json + "]";
}

}  // namespace

void PrintGroupHealth(const std::vector<GroupHealthRow>& rows, bool json, std::ostream& out,
                      const std::vector<ItemHealthRow>* items) {
  if (json) {
    out << "[";
    for (size_t i = 0; i < rows.size(); ++i) {
      const GroupHealthRow& g = rows[i];
      out << (i ? "," : "") << "{\"name\":" << JsonString(g.name) << ",\"rate_s\":" << JsonNumber(g.rateSeconds)
          << ",\"next_run_utc\":" << JsonString(Time(g.nextRunUtc))
          << ",\"last_start_utc\":" << JsonString(Time(g.lastStartUtc))
          << ",\"lateness_s\":" << JsonNumber(g.latenessSec) << ",\"duration_s\":" << JsonNumber(g.durationSec)
          << ",\"runs\":" << g.runs << ",\"missed_runs\":" << g.missedRuns
          << ",\"earliest_s\":" << JsonNumber(g.earliestSec) << ",\"latest_s\":" << JsonNumber(g.latestSec);
      if (items) out << ",\"calculations\":" << ItemsJson(g.name, *items);
      out << "}";
    }
    out << "]\n";
    return;
  }
  std::vector<std::vector<std::string>> table = {{"GROUP", "RATE s", "NEXT RUN (UTC)", "LAST START (UTC)", "LATE s",
                                                  "TOOK s", "RUNS", "MISSED", "EARLIEST s", "LATEST s"}};
  for (const GroupHealthRow& g : rows)
    table.push_back({g.name, Fixed(g.rateSeconds, g.rateSeconds == static_cast<int64_t>(g.rateSeconds) ? 0 : 3),
                     Time(g.nextRunUtc), Time(g.lastStartUtc), Fixed(g.latenessSec, 3), Fixed(g.durationSec, 3),
                     std::to_string(g.runs), std::to_string(g.missedRuns), Fixed(g.earliestSec, 3),
                     Fixed(g.latestSec, 3)});
  PrintTable(table, {true, false, true, true, false, false, false, false, false, false}, out);
  if (rows.empty()) out << "(no schedule group threads)\n";
  if (!items || items->empty()) return;
  std::vector<std::vector<std::string>> calcs = {
      {"GROUP", "CALCULATION", "RUNS", "FAILED", "LEVEL", "STATUS", "LAST RUN (UTC)", "ERROR TEXT"}};
  for (const ItemHealthRow& c : *items)
    calcs.push_back({c.group, c.calculation, std::to_string(c.runs), std::to_string(c.failures),
                     std::to_string(c.level), c.status, Time(c.lastRunUtc), c.errorText});
  out << "\n";
  PrintTable(calcs, {true, true, false, false, false, true, true, true}, out);
}

int RunScheduler(const CliOptions& o, std::ostream& out, std::ostream& err) {
  bool json = o.json;
  for (const std::string& a : o.args) {
    if (a == "--json") {
      json = true;
    } else {
      err << "kelvarin-cli: scheduler takes only --json, not \"" << a << "\"\n";
      return kExitUsage;
    }
  }
  std::shared_ptr<Connection> conn;
  Status st = o.useBus ? Connection::OpenBus(o.bus, &conn)
                       : Connection::Open(o.address.empty() ? Connection::DefaultAddress() : o.address, &conn);
  if (!st.ok()) {
    err << "kelvarin-cli: " << st.ToString() << "\n";
    return kExitUsage;
  }
  conn->SetCallTimeout(o.timeoutUsec);
  std::vector<GroupHealthRow> rows;
  std::vector<ItemHealthRow> items;
  st = ReadGroupHealth(*conn, &rows);
  if (st.ok()) st = client::ReadItemHealth(*conn, &items);
  if (!st.ok()) {
    err << "kelvarin-cli: " << st.ToString() << "\n";
    return st.code() == Status::Code::kRemote ? kExitFailure : kExitUsage;
  }
  PrintGroupHealth(rows, json, out, &items);
  return kExitOk;
}

std::string SchedulerHelp() {
  return "kelvarin-cli [--address ADDR | --socket PATH | --bus system|session] scheduler [--json]\n"
         "\n"
         "The server's schedule group threads, one row each: the group, its rate, its next run and\n"
         "the start of its last run (UTC), how late that start was against its due time (negative:\n"
         "early, within the half second a group may start before its time), how long the run took,\n"
         "the runs made, the due times passed over without a run (a run overran, say), and the\n"
         "earliest and latest lateness over every run after the thread's first (which may catch up a\n"
         "time up to a second ago). A second table follows with each scheduled calculation: its\n"
         "runs and failed runs since the server started, and the last run's Level (0 ok, 1 warning,\n"
         "2 error), Status, time and error text. --json prints one JSON array instead, each group\n"
         "with its \"calculations\".\n";
}

}  // namespace kv::cli
