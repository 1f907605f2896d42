#include "log/debug_log.h"

#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <type_traits>

#include "com/hresult_names.h"
#include "com/utf.h"
#include "log/error_log.h"
#include "platform/env.h"
#include "platform/ole_date.h"

namespace kv {

DebugLog g_DebugLog;

namespace {
using platform::RegHive;
using platform::RegValue;

constexpr const char* kLoggingKey = "SOFTWARE\\Quorlith\\Morvane Calc\\Logging\\";
constexpr const char* kCategoryNames[kLogCategoryCount] = {"Errors",  "Methods", "Calls",      "InParams",
                                                          "Results", "Steps",   "Validation", "Security"};
constexpr const char* kLogNames[] = {"Kelvarin", "MorvaneCalc", "CalcHistory", "CalcFunctions"};
constexpr const char* kLogFolderLevels[] = {"Quorlith\\", "DiagnosticLogs\\", "Morvane Calc\\"};
constexpr size_t kCategoryBufferBytes = 100;
constexpr int64_t kSizeUnitBytes = 1024000;
constexpr size_t kMaxUserNameChars = 256;
constexpr size_t kBomBytes = 2;
constexpr size_t kMaxLoggedBytes = 4096;
constexpr const char* kNoFolderLine = "kelvarin: no log folder; logging to standard error\n";

// A value as a read into a char buffer of `limit` bytes sees it: the raw bytes (strings with
// their NUL, a DWORD as its four bytes), refused when they do not fit, then read up to the
// first NUL.
bool ReadValueAsText(const RegValue& v, size_t limit, std::string* out) {
  std::string raw;
  switch (v.type) {
    case platform::REG_SZ:
    case platform::REG_EXPAND_SZ:
      raw = v.text;
      raw.push_back('\0');
      break;
    case platform::REG_DWORD:
      for (int i = 0; i < 4; ++i) raw.push_back(static_cast<char>((v.dword >> (8 * i)) & 0xFF));
      break;
    case platform::REG_BINARY:
      raw.assign(v.binary.begin(), v.binary.end());
      break;
    default:
      break;
  }
  if (raw.size() > limit) return false;
  *out = raw.substr(0, raw.find('\0'));
  return true;
}

void UpperAscii(std::string* s) {
  for (char& c : *s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
}

bool EndsWithSeparator(std::string_view s) { return !s.empty() && (s.back() == '\\' || s.back() == '/'); }

// The file name between the last separator and the last full stop after it.
std::string ExeBaseName(std::string_view path) {
  const size_t slash = path.find_last_of("\\/");
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind('.');
  return std::string(dot == std::string_view::npos ? name : name.substr(0, dot));
}

void AppendDigits(std::string* out, int value, int width) {
  char digits[12];
  int n = 0;
  unsigned v = value < 0 ? 0u : static_cast<unsigned>(value);
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0 && n < 11);
  for (int i = n; i < width; ++i) out->push_back('0');
  while (n > 0) out->push_back(digits[--n]);
}

// "MM/DD/YYYY hh:mm:ss.mmm" of the local time now.
void AppendTimeStamp(const platform::LocalTime& time, std::string* out) {
  platform::SystemTime st;
  if (!platform::OleDateToSystemTimeMs(time.LocalNowMs(), &st)) st = {};
  const struct {
    int value, width;
    char before;  // 0: nothing
  } fields[] = {{st.month, 2, 0},    {st.day, 2, '/'},    {st.year, 4, '/'},        {st.hour, 2, ' '},
                {st.minute, 2, ':'}, {st.second, 2, ':'}, {st.milliseconds, 3, '.'}};
  for (const auto& f : fields) {
    if (f.before) out->push_back(f.before);
    AppendDigits(out, f.value, f.width);
  }
}

// BOM slot, then the code units as UTF-16LE with every LF written as CR LF (text mode).
template <typename Units>
std::string EncodeUnits(const Units& units) {
  size_t lineFeeds = 0;
  for (auto u : units) lineFeeds += u == '\n';
  std::string out(kBomBytes + 2 * (units.size() + lineFeeds), '\0');
  char* p = out.data();
  *p++ = static_cast<char>(0xFF);
  *p++ = static_cast<char>(0xFE);
  for (auto unit : units) {
    const char16_t u = static_cast<char16_t>(static_cast<std::make_unsigned_t<decltype(unit)>>(unit));
    if (u == u'\n') {
      *p++ = '\r';
      *p++ = '\0';
    }
    *p++ = static_cast<char>(u & 0xFF);
    *p++ = static_cast<char>(u >> 8);
  }
  return out;
}

std::string EncodeWithBomSlot(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return EncodeUnits(com::Utf8ToUtf16(text));
  return EncodeUnits(text);
}

// Appends one logged text so that it stays on its line and cannot crowd out the rest of the log:
// control characters are escaped (a newline in a name would otherwise forge a line of its own,
// an escape sequence would drive the reader's terminal), and past kMaxLoggedBytes the text is
// cut at a character boundary and its full length noted (one huge argument would otherwise
// fill the size limit and empty the log). Ordinary text is appended unchanged.
void AppendLogged(std::string_view value, std::string* out) {
  size_t keep = value.size();
  if (keep > kMaxLoggedBytes) {
    keep = kMaxLoggedBytes;
    while (keep > 0 && (static_cast<unsigned char>(value[keep]) & 0xC0) == 0x80) --keep;  // no split character
  }
  static constexpr char kHex[] = "0123456789abcdef";
  auto escape = [out](const char* lead, unsigned code, int digits) {
    *out += lead;
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out->push_back(kHex[(code >> shift) & 0xF]);
  };
  for (size_t i = 0; i < keep; ++i) {
    const unsigned char c = static_cast<unsigned char>(value[i]);
    const unsigned char next = i + 1 < keep ? static_cast<unsigned char>(value[i + 1]) : 0;
    const unsigned char third = i + 2 < keep ? static_cast<unsigned char>(value[i + 2]) : 0;
    if (c == '\n') {
      *out += "\\n";
    } else if (c == '\r') {
      *out += "\\r";
    } else if (c == '\t') {
      *out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      escape("\\x", c, 2);
    } else if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
      escape("\\u", next, 4);  // U+0080..U+009F: C1 controls, NEL among them
      i += 1;
    } else if (c == 0xE2 && next == 0x80 && (third == 0xA8 || third == 0xA9)) {
      escape("\\u", 0x2028u + (third - 0xA8u), 4);  // line and paragraph separators
      i += 2;
    } else {
      out->push_back(static_cast<char>(c));
    }
  }
  if (keep < value.size()) *out += "... (" + std::to_string(value.size()) + " bytes)";
}

void ReportOpenFailure(int crtErrno) {
  std::string msg = "Failed to open file: ";
  if (crtErrno == platform::crt::kEACCES) msg += "Access Denied: ";
  msg += std::to_string(crtErrno);
  msg += '\n';
  std::fputs(msg.c_str(), stderr);
}

// Appends `buf` (which starts with the BOM slot) to the file. When the file held nothing before
// (it is new), or now exceeds `limitBytes`, it is emptied and written afresh with the BOM, so
// the common case costs one size query. A failed write loses the line and nothing more.
void AppendToFile(platform::FileSystem& fs, const std::string& path, const std::string& buf, int64_t limitBytes) {
  std::unique_ptr<platform::AppendableFile> file;
  if (int err = fs.OpenForAppend(path, &file)) {
    ReportOpenFailure(err);
    return;
  }
  const size_t lineBytes = buf.size() - kBomBytes;
  int64_t size = 0;
  if (file->Append(std::string_view(buf).substr(kBomBytes)) == platform::crt::kOk &&
      file->Size(&size) == platform::crt::kOk && (size == static_cast<int64_t>(lineBytes) || size > limitBytes)) {
    if (file->Truncate() == platform::crt::kOk) file->Append(buf);
  }
}

std::string CurrentUserName(platform::Env* env) {
  std::string user = env ? env->system->UserName() : std::string();
  if (user.empty() || user.size() > kMaxUserNameChars) return "UnknownUser";
  return user;
}

}  // namespace

DebugLog::DebugLog() { flags_[static_cast<int>(LogCategory::Errors)] = true; }

void DebugLog::Init(platform::Env& env, int kind, std::string_view namePart, std::string_view versionPart) {
  try {
    const bool known = kind >= 0 && kind < static_cast<int>(std::size(kLogNames));
    std::string logName = known ? kLogNames[kind] : "";
    int32_t sizeLimit = sizeLimit_;

    if (known) {
      const std::string key = kLoggingKey + logName;
      auto& reg = *env.registry;
      for (int i = 0; i < kLogCategoryCount; ++i) {
        flags_[i] = false;
        RegValue v;
        std::string text;
        if (reg.GetValue(RegHive::LocalMachine, key, kCategoryNames[i], &v) != platform::kRegOk) continue;
        if (!ReadValueAsText(v, kCategoryBufferBytes, &text)) continue;
        UpperAscii(&text);
        flags_[i] = text == "ON";
      }
      flags_[static_cast<int>(LogCategory::Errors)] = true;

      sizeLimit = 1;
      RegValue v;
      if (reg.GetValue(RegHive::LocalMachine, key, "LogSize", &v) == platform::kRegOk && v.type == platform::REG_DWORD)
        sizeLimit = static_cast<int32_t>(v.dword);
    }

    // An unknown module folder stays empty: a lone separator would put the log at the root.
    std::string moduleFolder = env.system->ModuleFolder();
    if (!moduleFolder.empty() && !EndsWithSeparator(moduleFolder)) moduleFolder += '\\';

    std::string logFolder = env.system->CommonAppDataFolder();
    if (!logFolder.empty()) {
      env.fs->CreateDirectory(logFolder);
      if (!EndsWithSeparator(logFolder)) logFolder += '\\';
      // A level that cannot be made only shows when the file cannot be opened.
      for (const char* level : kLogFolderLevels) {
        logFolder += level;
        env.fs->CreateDirectory(logFolder);
      }
    }

    std::string exeBase = ExeBaseName(env.system->ModulePath());

    std::lock_guard lock(mu_);
    env_.store(&env);
    logName_ = std::move(logName);
    sizeLimit_ = sizeLimit;
    namePart_ = namePart;
    versionPart_ = versionPart;
    exeBaseName_ = std::move(exeBase);
    moduleFolder_ = std::move(moduleFolder);
    logFolder_ = std::move(logFolder);
  } catch (...) {
  }
}

bool DebugLog::IsOn(LogCategory category) const {
  const int i = static_cast<int>(category);
  return i >= 0 && i < kLogCategoryCount && flags_[i];
}

void DebugLog::Write(std::string_view message, std::string_view detail) {
  try {
    platform::Env* env = env_.load();
    if (env == nullptr) return;
    const std::string user = CurrentUserName(env);
    const std::string head = "(" + std::to_string(::gettid()) + ") ";

    std::lock_guard lock(mu_);
    std::string text;
    if (!message.empty()) {
      text.reserve(head.size() + 24 + std::min(message.size(), kMaxLoggedBytes) +
                   std::min(detail.size(), kMaxLoggedBytes) + 64);
      text += head;
      AppendTimeStamp(env->Time(), &text);
      text += ' ';
      AppendLogged(message, &text);
      if (!detail.empty()) {
        text += ": ";
        AppendLogged(detail, &text);
      }
    }
    text += '\n';
    if (prefix_.empty()) prefix_ = ComputePrefixLocked();
    if (prefix_.empty()) {
      WriteToStandardErrorLocked(text);
      return;
    }
    AppendToFile(*env->fs, prefix_ + user + ".log", EncodeWithBomSlot(text), int64_t{sizeLimit_} * kSizeUnitBytes);
  } catch (...) {
  }
}

std::string DebugLog::HResultText(com::HRESULT hr) {
  switch (static_cast<uint32_t>(hr)) {
    case 0: return "S_OK";
    case 1: return "S_FALSE";
    case 0x80070057u: return "E_INVALIDARG";
    case 0x8007000Eu: return "E_OUTOFMEMORY";
    case 0x80004003u: return "E_POINTER";
    case 0x80004005u: return "E_FAIL";
    case 0x8000FFFFu: return "E_UNEXPECTED";
    default: break;
  }
  // The statuses this system produces have a name and a text in one table; a Win32 code there
  // is never read as a Linux errno of the same number (5 is "access denied", not "I/O error").
  if (com::FindHResultName(hr)) return com::DescribeHResult(hr);
  return std::to_string(hr);
}

std::string DebugLog::FilePath() {
  const std::string user = CurrentUserName(env_.load());
  std::lock_guard lock(mu_);
  if (prefix_.empty()) prefix_ = ComputePrefixLocked();
  if (prefix_.empty()) return {};
  return prefix_ + user + ".log";
}

void DebugLog::SetCategory(LogCategory category, bool on) {
  const int i = static_cast<int>(category);
  if (i >= 0 && i < kLogCategoryCount) flags_[i] = on;
}

void DebugLog::SetSizeLimit(int32_t units) {
  std::lock_guard lock(mu_);
  sizeLimit_ = units;
}

void DebugLog::ResetForTest() {
  std::lock_guard lock(mu_);
  env_.store(nullptr);
  for (bool& f : flags_) f = false;
  flags_[static_cast<int>(LogCategory::Errors)] = true;
  sizeLimit_ = 1;
  toldNoFolder_ = false;
  logName_.clear();
  prefix_.clear();
  moduleFolder_.clear();
  logFolder_.clear();
  exeBaseName_.clear();
  namePart_.clear();
  versionPart_.clear();
}

// Empty when there is no folder: the other parts alone would name a file in the working
// directory.
std::string DebugLog::ComputePrefixLocked() {
  std::string p = logFolder_.empty() ? moduleFolder_ : logFolder_;
  if (p.empty()) return {};
  p += exeBaseName_;
  p += '.';
  p += logName_;
  p += '.';
  if (!namePart_.empty()) {
    p += namePart_;
    p += '.';
  }
  p += "x86.";
  if (!versionPart_.empty()) {
    p += versionPart_;
    p += '.';
  }
  return p;
}

void DebugLog::WriteToStandardErrorLocked(const std::string& text) {
  std::string out;
  if (!toldNoFolder_) {
    out = kNoFolderLine;
    toldNoFolder_ = true;
  }
  out += text;
  std::fwrite(out.data(), 1, out.size(), stderr);
  std::fflush(stderr);
}

void InstallDebugLogAsErrorSink() {
  log::SetErrorSink([](std::string_view message, std::string_view detail) { g_DebugLog.Write(message, detail); });
}

}  // namespace kv
