#include "cli/cli_tag.h"

#include <charconv>
#include <strings.h>

#include <cmath>
#include <cstdio>
#include <utility>
#include <vector>
#include <ostream>

#include "cli/cli_options.h"
#include "client/result_format.h"
#include "config/config.h"
#include "platform/env.h"
#include "platform/ole_date.h"
#include "platform/path.h"
#include "tags/sqlite_tag_store.h"

namespace kv::cli {
namespace {

// "2025-12-10T08:00:00.250Z"; "-" for a time never set.
std::string TimeText(double ole) {
  if (ole <= 0) return "-";
  platform::SystemTime st;
  if (!platform::OleDateToSystemTimeMs(ole, &st)) return std::to_string(ole);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", st.year, st.month, st.day, st.hour, st.minute,
                st.second, st.milliseconds);
  return buf;
}

bool ParseInt(const std::string& s, long long* out) {
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), *out);
  return ec == std::errc() && p == s.data() + s.size();
}

// A value as JSON: a number stays a number (null when not finite), text is a string.
std::string JsonTagValue(const tags::TagValue& v) {
  if (std::holds_alternative<std::monostate>(v)) return "null";
  if (const auto* s = std::get_if<std::string>(&v)) return client::JsonString(*s);
  if (const auto* d = std::get_if<double>(&v); d && !std::isfinite(*d)) return "null";
  return tags::FormatTagValue(v);
}

// Rows printed as tab-separated text, or as one JSON array of objects named by `columns`; each
// cell is given as text and as JSON.
class Rows {
 public:
  Rows(std::vector<const char*> columns, bool json, std::ostream& out) : columns_(std::move(columns)), json_(json), out_(out) {}
  ~Rows() {
    if (json_) out_ << (any_ ? "]\n" : "[]\n");
  }
  void Add(const std::vector<std::pair<std::string, std::string>>& cells) {
    if (!json_) {
      for (size_t i = 0; i < cells.size(); ++i) out_ << (i ? "\t" : "") << cells[i].first;
      out_ << "\n";
      return;
    }
    out_ << (any_ ? "," : "[") << "{";
    for (size_t i = 0; i < cells.size(); ++i)
      out_ << (i ? "," : "") << client::JsonString(columns_[i]) << ":" << cells[i].second;
    out_ << "}";
    any_ = true;
  }

 private:
  std::vector<const char*> columns_;
  bool json_;
  std::ostream& out_;
  bool any_ = false;
};

std::pair<std::string, std::string> Text(const std::string& s) { return {s, client::JsonString(s)}; }
std::pair<std::string, std::string> Value(const tags::TagValue& v) { return {tags::FormatTagValue(v), JsonTagValue(v)}; }
std::pair<std::string, std::string> Number(long long n) { return {std::to_string(n), std::to_string(n)}; }
std::pair<std::string, std::string> Time(double ole) {
  const std::string t = TimeText(ole);
  return {t, ole > 0 ? client::JsonString(t) : "null"};
}

int Usage(std::ostream& err, const std::string& why) {
  err << "kelvarin-cli tag: " << why << "\n(kelvarin-cli --help tag explains the words)\n";
  return kExitUsage;
}

}  // namespace

std::string TagHelp() {
  return R"TEXT(usage: kelvarin-cli tag [--db PATH] [--json] list [SERVER]
       kelvarin-cli tag [--db PATH] get SERVER TAG
       kelvarin-cli tag [--db PATH] set SERVER TAG VALUE [--units UNITS] [--quality N]
       kelvarin-cli tag [--db PATH] history SERVER TAG [COUNT]
       kelvarin-cli tag [--db PATH] delete SERVER TAG
       kelvarin-cli tag [--db PATH] server SERVER online|offline
       kelvarin-cli tag [--db PATH] spool
       kelvarin-cli tag [--db PATH] forward

The process tags that calculations read and write (parameters of kind 1), kept in the
embedded tag store "<root>/bin/tags.db" beside the object store (--db names another file).
Server and tag names compare without regard to case. --json prints list, history and spool as
one JSON array of objects named by their columns (get and forward as one object); times are
UTC strings, null for never, and values stay numbers or strings as they are stored.

  list      every tag (of SERVER): server, tag, value, units, quality, time (UTC)
  get       one tag's value, units, quality and time
  set       writes VALUE (a number when it reads as one, else text; "" for nothing),
            creating the tag when missing; --units sets its units, --quality (default 192,
            good) its quality; the write goes into the tag's history
  history   the last COUNT writes of the tag (default 20), oldest first
  delete    removes the tag (its history stays until it ages out)
  server    marks a server reachable or not: writes to an offline server fail, or are
            spooled when store-and-forward is on, and go out on the next group refresh
  spool     the writes waiting for their server, oldest first
  forward   sends the spooled writes of the servers that are reachable now
)TEXT";
}

int RunTag(const std::vector<std::string>& argsIn, platform::Env& env, std::ostream& out, std::ostream& err) {
  std::vector<std::string> args;
  std::string db, units;
  long long quality = tags::kQualityGood;
  bool haveUnits = false, json = false;
  for (size_t i = 0; i < argsIn.size(); ++i) {
    const std::string& a = argsIn[i];
    if (a == "--json") {
      json = true;
    } else if (a == "--db" || a == "--units" || a == "--quality") {
      if (i + 1 >= argsIn.size()) return Usage(err, a + " needs a value");
      const std::string& v = argsIn[++i];
      if (a == "--db") db = v;
      else if (a == "--units") units = v, haveUnits = true;
      else if (!ParseInt(v, &quality)) return Usage(err, "--quality takes a whole number");
    } else {
      args.push_back(a);
    }
  }
  if (args.empty()) return Usage(err, "a word (list, get, set, history, delete, server, spool, forward) is missing");
  const std::string& verb = args[0];
  struct Shape {
    const char* verb;
    size_t min, max;
  };
  static const Shape shapes[] = {{"list", 1, 2},    {"get", 3, 3},    {"set", 4, 4},   {"history", 3, 4},
                                 {"delete", 3, 3},  {"server", 3, 3}, {"spool", 1, 1}, {"forward", 1, 1}};
  const Shape* shape = nullptr;
  for (const Shape& s : shapes)
    if (verb == s.verb) shape = &s;
  if (!shape) return Usage(err, "unknown word \"" + verb + "\"");
  if (args.size() < shape->min || args.size() > shape->max) return Usage(err, "wrong number of words for " + verb);
  if (haveUnits && verb != "set") return Usage(err, "--units goes with set");

  if (db.empty()) {
    const std::string root = config::LookupBasePath(env);
    db = platform::ToFsPath(platform::JoinPath(platform::JoinPath(root, "bin"), "tags.db"));
    platform::CreateDirectories(*env.fs, platform::JoinPath(root, "bin"));
  }
  std::string error;
  auto store = tags::SqliteTagStore::Open(db, &error);
  if (!store) {
    err << "kelvarin-cli tag: " << db << ": " << error << "\n";
    return kExitFailure;
  }

  if (verb == "list") {
    Rows rows({"server", "tag", "value", "units", "quality", "time_utc"}, json, out);
    for (const tags::TagInfo& t : store->List(args.size() > 1 ? args[1] : ""))
      rows.Add({Text(t.server), Text(t.tag), Value(t.sample.value), Text(t.sample.units), Number(t.sample.quality),
                Time(t.sample.time)});
    return kExitOk;
  }
  if (verb == "get") {
    tags::TagSample s;
    tags::TagStatus rc = store->Read(args[1], args[2], &s);
    if (rc == tags::TagStatus::kServerOffline) {
      // The tool reads what the store holds even when the server is marked offline.
      rc = tags::TagStatus::kNoSuchTag;
      for (const tags::TagInfo& t : store->List(args[1]))
        if (strcasecmp(t.tag.c_str(), args[2].c_str()) == 0) s = t.sample, rc = tags::TagStatus::kOk;
    }
    if (rc != tags::TagStatus::kOk) {
      err << "kelvarin-cli tag: " << args[1] << "/" << args[2] << ": " << tags::TagStatusText(rc) << "\n";
      return kExitFailure;
    }
    if (json) {
      out << "{\"value\":" << JsonTagValue(s.value) << ",\"units\":" << client::JsonString(s.units)
          << ",\"quality\":" << s.quality << ",\"time_utc\":" << Time(s.time).second << "}\n";
    } else {
      out << tags::FormatTagValue(s.value) << "\t" << s.units << "\t" << s.quality << "\t" << TimeText(s.time) << "\n";
    }
    return kExitOk;
  }
  if (verb == "set") {
    if (!store->Set(args[1], args[2], tags::ParseTagValue(args[3]), static_cast<int32_t>(quality),
                    platform::OleDateFromUnixMs(env.clock->NowUnixMs()), units, &error)) {
      err << "kelvarin-cli tag: " << error << "\n";
      return kExitFailure;
    }
    return kExitOk;
  }
  if (verb == "history") {
    long long count = 20;
    if (args.size() > 3 && (!ParseInt(args[3], &count) || count < 1)) return Usage(err, "COUNT is a positive number");
    if (!store->Exists(args[1], args[2])) {
      err << "kelvarin-cli tag: " << args[1] << "/" << args[2] << ": no such tag\n";
      return kExitFailure;
    }
    Rows rows({"time_utc", "value", "quality"}, json, out);
    for (const tags::HistoryRow& r : store->History(args[1], args[2], static_cast<int>(count)))
      rows.Add({Time(r.time), Value(r.value), Number(r.quality)});
    return kExitOk;
  }
  if (verb == "delete") {
    if (!store->Remove(args[1], args[2])) {
      err << "kelvarin-cli tag: " << args[1] << "/" << args[2] << ": no such tag\n";
      return kExitFailure;
    }
    return kExitOk;
  }
  if (verb == "server") {
    if (args[2] != "online" && args[2] != "offline") return Usage(err, "server takes online or offline");
    return store->SetServerOnline(args[1], args[2] == "online") ? kExitOk : kExitFailure;
  }
  if (verb == "spool") {
    Rows rows({"id", "server", "tag", "value", "time_utc"}, json, out);
    for (const tags::SpoolRow& r : store->Spool())
      rows.Add({Number(r.id), Text(r.write.server), Text(r.write.tag), Value(r.write.value), Time(r.write.time)});
    return kExitOk;
  }
  const int forwarded = store->Forward();
  if (json)
    out << "{\"forwarded\":" << forwarded << "}\n";
  else
    out << forwarded << " forwarded\n";
  return kExitOk;
}

}  // namespace kv::cli
