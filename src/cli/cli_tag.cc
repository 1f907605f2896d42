#include "cli/cli_tag.h"

#include <charconv>
#include <strings.h>

#include <cstdio>
#include <ostream>

#include "cli/cli_options.h"
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

int Usage(std::ostream& err, const std::string& why) {
  err << "kelvarin-cli tag: " << why << "\n(kelvarin-cli --help tag explains the words)\n";
  return kExitUsage;
}

}  // namespace

std::string TagHelp() {
  return R"TEXT(usage: kelvarin-cli tag [--db PATH] list [SERVER]
       kelvarin-cli tag [--db PATH] get SERVER TAG
       kelvarin-cli tag [--db PATH] set SERVER TAG VALUE [--units UNITS] [--quality N]
       kelvarin-cli tag [--db PATH] history SERVER TAG [COUNT]
       kelvarin-cli tag [--db PATH] delete SERVER TAG
       kelvarin-cli tag [--db PATH] server SERVER online|offline
       kelvarin-cli tag [--db PATH] spool
       kelvarin-cli tag [--db PATH] forward

The process tags that calculations read and write (parameters of kind 1), kept in the
embedded tag store "<root>/bin/tags.db" beside the object store (--db names another file).
Server and tag names compare without regard to case.

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
  bool haveUnits = false;
  for (size_t i = 0; i < argsIn.size(); ++i) {
    const std::string& a = argsIn[i];
    if (a == "--db" || a == "--units" || a == "--quality") {
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
    for (const tags::TagInfo& t : store->List(args.size() > 1 ? args[1] : "")) {
      out << t.server << "\t" << t.tag << "\t" << tags::FormatTagValue(t.sample.value) << "\t" << t.sample.units
          << "\t" << t.sample.quality << "\t" << TimeText(t.sample.time) << "\n";
    }
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
    out << tags::FormatTagValue(s.value) << "\t" << s.units << "\t" << s.quality << "\t" << TimeText(s.time) << "\n";
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
    for (const tags::HistoryRow& r : store->History(args[1], args[2], static_cast<int>(count)))
      out << TimeText(r.time) << "\t" << tags::FormatTagValue(r.value) << "\t" << r.quality << "\n";
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
    for (const tags::SpoolRow& r : store->Spool())
      out << r.id << "\t" << r.write.server << "\t" << r.write.tag << "\t" << tags::FormatTagValue(r.write.value)
          << "\t" << TimeText(r.write.time) << "\n";
    return kExitOk;
  }
  out << store->Forward() << " forwarded\n";
  return kExitOk;
}

}  // namespace kv::cli
