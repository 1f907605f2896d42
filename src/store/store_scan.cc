// The three directory scans of the store and the two name tests.
#include "command_object/calc_cmd_base.h"
#include "base/store_layout.h"
#include "store/store_scan.h"
#include "store/store_commands.h"

namespace kv::store {
namespace {

bool EndsWith(const std::string& s, std::string_view tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string WithoutExtension(const std::string& s) { return s.substr(0, s.size() - 4); }

}  // namespace

bool FileIsMissing(CCalcCmdBase& cmd, const std::string& path) { return !cmd.Fs().Exists(path); }

std::vector<std::string> ListCalculations(CCalcCmdBase& cmd) {
  std::string base;
  if (!cmd.RequireBaseDirectory(&base)) return {};
  return store::ScanCalculations(cmd.Fs(), base);
}

std::vector<std::string> ListCalcFolders(CCalcCmdBase& cmd) {
  std::vector<std::string> out;
  std::string base;
  if (!cmd.RequireBaseDirectory(&base)) return out;
  for (const auto& e : cmd.Fs().Find(layout::Join(layout::CalcDir(base), "*"))) {
    if (layout::IsStoreDirectoryName(e.name) || e.name.find('.') != std::string::npos) continue;
    out.push_back(e.name);
  }
  return out;
}

std::vector<std::string> ListLibraries(CCalcCmdBase& cmd) {
  std::string root;
  cmd.GetRootDirectory(&root);
  return store::ScanLibraries(cmd.Fs(), root);
}


std::vector<std::string> ScanCalculations(platform::FileSystem& fs, const std::string& base) {
  std::vector<std::string> out;
  const std::string calcDir = layout::CalcDir(base) + "\\";
  for (const auto& e : fs.Find(calcDir + "*")) {
    const std::string& name = e.name;
    if (layout::IsStoreDirectoryName(name) || name == "." || name == ".." || EndsWith(name, ".dtx")) continue;
    if (EndsWith(name, ".zrc")) {
      out.push_back(WithoutExtension(name));
    } else if (name.find('.') == std::string::npos) {
      for (const auto& f : fs.Find(calcDir + name + "\\*.zrc")) {
        std::string& entry = out.emplace_back();
        entry.reserve(name.size() + f.name.size() - 3);
        entry.append(name).append(1, '\\').append(f.name, 0, f.name.size() - 4);
      }
    }
  }
  return out;
}

std::vector<std::string> ScanLibraries(platform::FileSystem& fs, const std::string& root) {
  std::vector<std::string> out;
  for (const auto& e : fs.Find(layout::Join(layout::LibDir(root), "*.zrc"))) out.push_back(WithoutExtension(e.name));
  return out;
}


}  // namespace kv::store
