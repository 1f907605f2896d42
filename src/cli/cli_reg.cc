#include "cli/cli_reg.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <ostream>
#include <string_view>

#include "cli/cli_options.h"

namespace kv::cli {

using platform::RegHive;
using platform::RegValue;

namespace {

bool StartsNoCase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(s[i])) != prefix[i]) return false;
  return true;
}

// Splits "HKLM\SOFTWARE\..." into its hive and the key below it.
bool SplitKey(std::string_view key, RegHive* hive, std::string* rest) {
  struct Root {
    const char* name;
    RegHive hive;
  };
  static const Root roots[] = {{"HKEY_LOCAL_MACHINE", RegHive::LocalMachine},
                               {"HKEY_CURRENT_USER", RegHive::CurrentUser},
                               {"HKLM", RegHive::LocalMachine},
                               {"HKCU", RegHive::CurrentUser}};
  for (const Root& r : roots) {
    std::string_view n = r.name;
    if (StartsNoCase(key, n) && (key.size() == n.size() || key[n.size()] == '\\' || key[n.size()] == '/')) {
      *hive = r.hive;
      *rest = std::string(key.substr(std::min(key.size(), n.size() + 1)));
      return true;
    }
  }
  return false;
}

const char* TypeWord(platform::RegType t) {
  switch (t) {
    case platform::REG_SZ: return "string";
    case platform::REG_EXPAND_SZ: return "expand";
    case platform::REG_DWORD: return "dword";
    case platform::REG_BINARY: return "binary";
    default: return "none";
  }
}

std::string ValueText(const RegValue& v) {
  switch (v.type) {
    case platform::REG_SZ: case platform::REG_EXPAND_SZ: return v.text;
    case platform::REG_DWORD: {
      char buf[32];
      std::snprintf(buf, sizeof buf, "%u (0x%08x)", v.dword, v.dword);
      return buf;
    }
    case platform::REG_BINARY: {
      std::string out;
      char buf[4];
      for (size_t i = 0; i < v.binary.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%02x", v.binary[i]);
        out += (i ? "," : "") + std::string(buf);
      }
      return out;
    }
    default: return "";
  }
}

// "42", "0x2a"; at most 32 bits.
bool ParseDword(std::string_view s, uint32_t* out) {
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    s.remove_prefix(2);
    base = 16;
  }
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *out, base);
  return !s.empty() && ec == std::errc() && end == s.data() + s.size();
}

// "01,02,ff" or "0102ff" (either case); "" is no bytes.
bool ParseBinary(std::string_view s, std::vector<uint8_t>* out) {
  std::string hex;
  for (char c : s)
    if (c != ',' && c != ' ') hex += c;
  if (hex.size() % 2) return false;
  out->clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    uint8_t b = 0;
    auto [end, ec] = std::from_chars(hex.data() + i, hex.data() + i + 2, b, 16);
    if (ec != std::errc() || end != hex.data() + i + 2) return false;
    out->push_back(b);
  }
  return true;
}

int Usage(std::ostream& err, const std::string& why) {
  err << "kelvarin-cli reg: " << why << "\n(kelvarin-cli --help reg explains it)\n";
  return kExitUsage;
}

std::string ErrorText(long code) {
  switch (code) {
    case platform::kRegNotFound: return "not found";
    case platform::kRegAccessDenied: return "access denied (the registry file cannot be written)";
    default: return "error " + std::to_string(code);
  }
}

}  // namespace

std::string RegHelp() {
  return R"TEXT(usage: kelvarin-cli reg get KEY [NAME]
       kelvarin-cli reg set KEY NAME VALUE [--type string|dword|expand|binary]
       kelvarin-cli reg delete KEY [NAME]
       kelvarin-cli reg list KEY

Reads and changes the registry store the server reads its settings from, in the same
files ($KELVARIN_REGISTRY_DIR, else /etc/kelvarin/system.reg for HKLM and
$XDG_CONFIG_HOME/kelvarin/user.reg for HKCU as root, else both under
$XDG_CONFIG_HOME/kelvarin) and with the same file lock, so it is safe while the server
runs. Needs no server.

KEY starts with its root: HKLM\ or HKCU\ (HKEY_LOCAL_MACHINE\, HKEY_CURRENT_USER\),
levels separated by \. NAME "" is the key's default value.
  get     prints the value (a dword as "42 (0x0000002a)", binary as "01,02,ff")
  set     creates the key when missing; --type string (default), dword (42 or 0x2a),
          expand (a string with %VARIABLES%), binary (hex bytes, "01,02,ff")
  delete  the value NAME, or without NAME the key with everything below it
  list    the subkeys (ending in \), then "NAME (type) = value" for each value

Examples:
  kelvarin-cli reg set 'HKLM\SOFTWARE\Quorlith\Morvane Calc\Logging\Kelvarin' Methods ON
  kelvarin-cli reg set 'HKLM\SOFTWARE\Quorlith\Morvane Calc\Logging\Kelvarin' LogSize 4 --type dword
  kelvarin-cli reg list 'HKLM\SOFTWARE\Quorlith\Morvane Calc\Logging\Kelvarin'

Exit status: 0 done, 1 the key or value is missing or cannot be written, 2 bad words.
)TEXT";
}

int RunReg(const std::vector<std::string>& argsIn, platform::RegistryStore& store, std::ostream& out,
           std::ostream& err) {
  std::vector<std::string> args;
  std::string type;
  bool haveType = false;
  for (size_t i = 0; i < argsIn.size(); ++i) {
    const std::string& a = argsIn[i];
    if (a == "--type" || a.rfind("--type=", 0) == 0) {
      if (a == "--type") {
        if (i + 1 >= argsIn.size()) return Usage(err, "--type needs string, dword, expand or binary");
        type = argsIn[++i];
      } else {
        type = a.substr(7);
      }
      haveType = true;
    } else {
      args.push_back(a);
    }
  }
  if (args.empty()) return Usage(err, "get, set, delete or list is missing");
  const std::string& verb = args[0];
  struct Shape {
    const char* verb;
    size_t min, max;  // words after the verb
  };
  static const Shape shapes[] = {{"get", 1, 2}, {"set", 3, 3}, {"delete", 1, 2}, {"list", 1, 1}};
  const Shape* shape = nullptr;
  for (const Shape& s : shapes)
    if (verb == s.verb) shape = &s;
  if (!shape) return Usage(err, "unknown command \"" + verb + "\" (get, set, delete or list)");
  if (args.size() - 1 < shape->min || args.size() - 1 > shape->max)
    return Usage(err, verb + " takes " + (shape->min == shape->max ? std::to_string(shape->min) : std::to_string(shape->min) + " or " + std::to_string(shape->max)) +
                          " words after it");
  if (haveType && verb != "set") return Usage(err, "--type goes with set only");
  RegHive hive;
  std::string key;
  if (!SplitKey(args[1], &hive, &key)) return Usage(err, "KEY must start with HKLM\\ or HKCU\\, not \"" + args[1] + "\"");
  const std::string name = args.size() > 2 ? args[2] : "";

  if (verb == "get") {
    RegValue v;
    if (long e = store.GetValue(hive, key, name, &v); e != platform::kRegOk) {
      err << "kelvarin-cli reg: " << args[1] << (name.empty() ? "" : " " + name) << ": " << ErrorText(e) << "\n";
      return kExitFailure;
    }
    out << ValueText(v) << "\n";
    return kExitOk;
  }
  if (verb == "set") {
    RegValue v;
    const std::string& text = args[3];
    if (!haveType || type == "string" || type == "expand") {
      v = RegValue::String(text, type == "expand" ? platform::REG_EXPAND_SZ : platform::REG_SZ);
    } else if (type == "dword") {
      uint32_t d;
      if (!ParseDword(text, &d)) return Usage(err, "a dword is 0..4294967295 or 0x0..0xffffffff, not \"" + text + "\"");
      v = RegValue::Dword(d);
    } else if (type == "binary") {
      std::vector<uint8_t> b;
      if (!ParseBinary(text, &b)) return Usage(err, "binary is hex bytes (01,02,ff), not \"" + text + "\"");
      v = RegValue::Binary(std::move(b));
    } else {
      return Usage(err, "--type takes string, dword, expand or binary, not \"" + type + "\"");
    }
    if (long e = store.SetValue(hive, key, name, v); e != platform::kRegOk) {
      err << "kelvarin-cli reg: " << args[1] << " " << name << ": " << ErrorText(e) << "\n";
      return kExitFailure;
    }
    return kExitOk;
  }
  if (verb == "delete") {
    long e = args.size() > 2 ? store.DeleteValue(hive, key, name) : store.DeleteKey(hive, key);
    if (e != platform::kRegOk) {
      err << "kelvarin-cli reg: " << args[1] << (args.size() > 2 ? " " + name : "") << ": " << ErrorText(e) << "\n";
      return kExitFailure;
    }
    return kExitOk;
  }
  // list
  if (!key.empty() && !store.KeyExists(hive, key)) {
    err << "kelvarin-cli reg: " << args[1] << ": not found\n";
    return kExitFailure;
  }
  for (const std::string& sub : store.SubKeys(hive, key)) out << sub << "\\\n";
  for (const std::string& n : store.ValueNames(hive, key)) {
    RegValue v;
    if (store.GetValue(hive, key, n, &v) != platform::kRegOk) continue;  // removed meanwhile
    out << (n.empty() ? "@" : n) << " (" << TypeWord(v.type) << ") = " << ValueText(v) << "\n";
  }
  return kExitOk;
}

}  // namespace kv::cli
