#include "cli/cli_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <ostream>

#include "cli/cli_args.h"
#include "cli/cli_options.h"
#include "cli/durations.h"
#include "log/debug_log.h"
#include "platform/ole_date.h"
#include "platform/path.h"
#include "platform/system_info.h"
#include "platform/utf8.h"

namespace kv::cli {

namespace {

// The real identity and folders, but the module is the server next to this program, so the
// log names the file the server writes.
class ServerSystemInfo : public platform::SystemInfo {
 public:
  explicit ServerSystemInfo(platform::SystemInfo& base) : base_(base) {}
  std::optional<std::string> GetEnv(const std::string& name) override { return base_.GetEnv(name); }
  std::string CommonAppDataFolder() override { return base_.CommonAppDataFolder(); }
  std::string ModuleFolder() override { return base_.ModuleFolder(); }
  std::string ModulePath() override { return platform::JoinPath(base_.ModuleFolder(), "kelvarin"); }
  std::string UserName() override { return base_.UserName(); }
  std::string ComputerName() override { return base_.ComputerName(); }
  std::string HomeFolder() override { return base_.HomeFolder(); }
  bool IsSuperUser() override { return base_.IsSuperUser(); }
  std::optional<std::string> UserNameOfUid(uid_t uid) override { return base_.UserNameOfUid(uid); }
  std::vector<std::string> GroupNamesOfUid(uid_t uid) override { return base_.GroupNamesOfUid(uid); }
  std::vector<std::string> GroupNamesOfUser(const std::string& user) override { return base_.GroupNamesOfUser(user); }

 private:
  platform::SystemInfo& base_;
};

int Usage(std::ostream& err, const std::string& why) {
  err << "kelvarin-cli log: " << why << "\n(kelvarin-cli --help log explains it)\n";
  return kExitUsage;
}

// The time stamp of a line "(<thread>) MM/DD/YYYY hh:mm:ss.mmm ...", as a date; false for a
// line without one.
bool LineTime(std::string_view line, double* out) {
  size_t close = line.find(") ");
  if (line.empty() || line[0] != '(' || close == std::string_view::npos) return false;
  int mo, d, y, h, mi, s;
  std::string stamp(line.substr(close + 2, 19));
  if (std::sscanf(stamp.c_str(), "%2d/%2d/%4d %2d:%2d:%2d", &mo, &d, &y, &h, &mi, &s) != 6) return false;
  return platform::MakeDate(y, mo, d, h, mi, s, out);
}

// Passes whole lines on, dropping those before `since` (a line without a time stamp goes with
// the line before it).
class LineFilter {
 public:
  explicit LineFilter(std::optional<double> since) : since_(since), keep_(!since) {}
  std::string Feed(const std::string& text) {
    if (!since_) return text;
    std::string out;
    partial_ += text;
    size_t start = 0;
    for (size_t nl; (nl = partial_.find('\n', start)) != std::string::npos; start = nl + 1) {
      std::string_view line(partial_.data() + start, nl - start);
      double t;
      if (LineTime(line, &t)) keep_ = t >= *since_;
      if (keep_) out.append(line).push_back('\n');
    }
    partial_.erase(0, start);
    return out;
  }

 private:
  std::optional<double> since_;
  bool keep_;
  std::string partial_;
};

}  // namespace

std::string LogDecoder::Feed(std::string_view in) {
  std::string bytes = pendingBytes_;
  bytes.append(in);
  pendingBytes_.clear();
  size_t i = 0;
  if (atStart_ && bytes.size() >= 2) {
    if (static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) i = 2;
    atStart_ = false;
  }
  std::u16string units;
  for (; i + 1 < bytes.size(); i += 2)
    units.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8));
  if (i < bytes.size()) pendingBytes_.assign(bytes, i, std::string::npos);
  // A high surrogate at the end may get its pair in the next piece.
  if (!units.empty() && platform::IsHighSurrogate(units.back())) {
    char16_t u = units.back();
    units.pop_back();
    pendingBytes_.insert(0, std::string{static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)});
  }
  std::string utf8 = platform::Utf16ToUtf8(units);
  std::string out;
  out.reserve(utf8.size());
  for (char c : utf8) {
    if (pendingCr_) {
      if (c != '\n') out.push_back('\r');  // a CR on its own stays
      pendingCr_ = false;
    }
    if (c == '\r') pendingCr_ = true;
    else out.push_back(c);
  }
  return out;
}

std::string ServerLogFile(platform::Env& env) {
  ServerSystemInfo system(*env.system);
  platform::Env serverEnv = env;
  serverEnv.system = &system;
  DebugLog log;
  log.Init(serverEnv, static_cast<int>(LogKind::Kelvarin), "", kCliVersion);
  return log.FilePath();
}

std::string LogHelp() {
  return R"TEXT(usage: kelvarin-cli log [--follow|-f] [--since TIME] [--file PATH] [--path]

Prints the server's diagnostic log as UTF-8 with LF line ends. The log is the UTF-16 file
the server writes for this user, found as the server finds it:
  <common data folder>/Quorlith/DiagnosticLogs/Morvane Calc/
      kelvarin.Kelvarin.x86.<version>.<user>.log
  --follow, -f    keep printing what is appended, as tail -f does (Ctrl-C ends it); a log
                  that starts afresh at its size limit is followed from its start
  --since TIME    only lines from TIME on: YYYY-MM-DD[ hh:mm[:ss]] in the log's local time,
                  today, yesterday, or a span back from now (10min, 2h, "1d ago", PT30S)
  --file PATH     read this log file instead (another user's, say)
  --path          print the path of the log file and stop
Which categories are written is set in the registry store, e.g.
  kelvarin-cli reg set 'HKLM\SOFTWARE\Quorlith\Morvane Calc\Logging\Kelvarin' Methods ON
(read when the server starts).
)TEXT";
}

bool ParseSince(std::string_view text, const platform::LocalTime& time, double* localDate, std::string* why) {
  const double now = time.LocalNowMs();
  if (text == "today" || text == "yesterday") {
    *localDate = std::floor(now) - (text == "yesterday" ? 1.0 : 0.0);
    return true;
  }
  std::string_view span = text;
  if (span.size() > 4 && span.substr(span.size() - 4) == " ago") span.remove_suffix(4);
  double days = 0;
  if (ParseDuration(span, &days)) {
    // On the millisecond, as the log's stamps are.
    *localDate = platform::RoundToMillisecond(now - days);
    return true;
  }
  return ParseDate(text, localDate, why);
}

int RunLog(const std::vector<std::string>& args, platform::Env& env, std::ostream& out, std::ostream& err,
           const std::function<bool()>& pause) {
  bool follow = false, pathOnly = false;
  std::optional<double> since;
  std::string file;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](const char* opt, std::string* v) {
      std::string eq = std::string(opt) + "=";
      if (a.rfind(eq, 0) == 0) {
        *v = a.substr(eq.size());
        return true;
      }
      if (a != opt) return false;
      if (i + 1 >= args.size()) return false;
      *v = args[++i];
      return true;
    };
    std::string v;
    if (a == "--follow" || a == "-f") {
      follow = true;
    } else if (a == "--path") {
      pathOnly = true;
    } else if (a == "--since" || a.rfind("--since=", 0) == 0) {
      double d;
      std::string why;
      if (!value("--since", &v)) return Usage(err, "--since needs a TIME");
      if (!ParseSince(v, env.Time(), &d, &why)) return Usage(err, "--since: " + why);
      since = d;
    } else if (a == "--file" || a.rfind("--file=", 0) == 0) {
      if (!value("--file", &v) || v.empty()) return Usage(err, "--file needs a PATH");
      file = v;
    } else {
      return Usage(err, "unknown word " + a);
    }
  }
  const std::string path = file.empty() ? platform::ToFsPath(ServerLogFile(env)) : file;
  if (pathOnly) {
    out << path << "\n";
    return kExitOk;
  }

  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 && !follow) {
    err << "kelvarin-cli log: cannot read " << path << ": " << std::strerror(errno) << "\n";
    return kExitFailure;
  }
  LogDecoder decoder;
  LineFilter filter(since);
  off_t offset = 0;
  char buf[65536];
  for (;;) {
    if (fd >= 0) {
      struct stat st {};
      // The log starts afresh past its size limit: follow it from its new start.
      if (::fstat(fd, &st) == 0 && st.st_size < offset) {
        offset = 0;
        decoder.Restart();
      }
      for (ssize_t n; (n = ::pread(fd, buf, sizeof buf, offset)) > 0;) {
        offset += n;
        out << filter.Feed(decoder.Feed(std::string_view(buf, static_cast<size_t>(n))));
      }
      out.flush();
    }
    if (!follow || !pause()) break;
    if (fd < 0) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);  // not written yet
  }
  if (fd >= 0) ::close(fd);
  return kExitOk;
}

}  // namespace kv::cli
