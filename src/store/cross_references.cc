// Which calculations and formulas use a calculation, a library, a formula or a process tag.
// Every question is answered as from a full scan of the store's lists; the lists and the
// reference summaries come from the reference index (components/reference_components.h), which
// scans a folder again, or reads an object file again, only when it has changed.
#include <mutex>

#include "base/store_layout.h"
#include "base/xml_escape.h"
#include "com/class_registry.h"
#include "command_object/calc_cmd_base.h"
#include "command_object/shared_objects.h"
#include "components/reference_components.h"
#include "config/config.h"
#include "store/node_match.h"
#include "store/store_scan.h"
#include "store/store_commands.h"

namespace kv::store {
namespace {

using components::IZrReferenceIndex;

// The application directory whose calculations the on-demand question visits.
constexpr char kOnDemandApp[] = "OnDemand";
// The parameter through which an on-demand calculation is tied to a tag.
constexpr char kReturnValue[] = "ReturnValue";

// The environment's own index when it keeps one; otherwise one index for the process, made
// through the class registry on first use (and again while it cannot be made).
ComPtr<IZrReferenceIndex> ReferenceIndex() {
  if (auto own = com::QueryInterface<IZrReferenceIndex>(g_pEnvironment)) return own;
  static std::mutex mu;
  static ComPtr<IZrReferenceIndex> shared;
  std::lock_guard lock(mu);
  if (!shared) com::CreateInstance(components::CLSID_ZrReferenceIndex, &shared);
  return shared;
}

// The names `scan` gives, from the index's last scan while its folders stayed unchanged.
std::vector<std::string> StoreNames(platform::FileSystem& fs, const std::string& key,
                                    const IZrReferenceIndex::Scan& scan) {
  std::vector<std::string> names;
  auto index = ReferenceIndex();
  if (index && com::SUCCEEDED(index->StoreNames(key, scan, &names))) return names;
  return scan(fs);
}

std::vector<std::string> Calculations(platform::FileSystem& fs, const std::string& base) {
  return StoreNames(fs, "Calc " + base, [&base](platform::FileSystem& f) { return store::ScanCalculations(f, base); });
}

std::vector<std::string> Libraries(platform::FileSystem& fs, const std::string& root) {
  return StoreNames(fs, "Lib " + root, [&root](platform::FileSystem& f) { return store::ScanLibraries(f, root); });
}

std::vector<components::SummaryPtr> CalculationSummaries(const std::string& base,
                                                         const std::vector<std::string>& names) {
  std::vector<components::SummaryPtr> out;
  auto index = ReferenceIndex();
  if (!index || com::FAILED(index->CalculationSummaries(base, names, &out))) out.assign(names.size(), nullptr);
  return out;
}

}  // namespace

void CalculationCrossReference(CCalcCmdBase& cmd, const Bstr& calculationName, Variant* result) {
  cmd.ResetLastError();
  const std::string target = calculationName.ToUtf8();
  std::string base;
  if (!cmd.RequireBaseDirectory(&base)) return;
  const std::vector<std::string> names = Calculations(cmd.Fs(), base);
  const auto summaries = CalculationSummaries(base, names);
  std::vector<std::string> users;
  for (size_t i = 0; i < names.size(); ++i)
    if (summaries[i] && summaries[i]->RefersToCalculation(target)) users.push_back(names[i]);
  CCalcCmdBase::StringArrayToVariant(users, result);
}

void FormulaCrossReference(CCalcCmdBase& cmd, const Bstr& libraryName, const Bstr& formulaName, Variant* result) {
  cmd.ResetLastError();
  FormulaUsers(cmd, libraryName.ToUtf8(), formulaName.ToUtf8(), result);
}

void LibraryCrossReference(CCalcCmdBase& cmd, const Bstr& libraryName, Variant* result) {
  cmd.ResetLastError();
  FormulaUsers(cmd, libraryName.ToUtf8(), std::string(), result);
}

void FormulaUsers(CCalcCmdBase& cmd, const std::string& library, const std::string& formula, Variant* result) {
  // Formulas of every library that use it, as "<library>.<formula>".
  std::vector<std::string> formulaUsers;
  std::string root;
  cmd.GetRootDirectory(&root);
  const std::vector<std::string> libraries = Libraries(cmd.Fs(), root);
  std::vector<components::LibrarySummaryPtr> libs;
  auto index = ReferenceIndex();
  if (!index || com::FAILED(index->LibrarySummaries(root, libraries, &libs))) libs.assign(libraries.size(), nullptr);
  for (size_t i = 0; i < libraries.size(); ++i) {
    if (!libs[i]) continue;
    for (const auto& [name, refs] : libs[i]->formulas)
      if (refs.RefersToFormula(library, formula)) formulaUsers.push_back(libraries[i] + "." + name);
  }

  // Calculations of this object's store that use it.
  std::vector<std::string> calcUsers;
  std::string base;
  if (cmd.RequireBaseDirectory(&base)) {
    const std::vector<std::string> names = Calculations(cmd.Fs(), base);
    const auto summaries = CalculationSummaries(base, names);
    for (size_t i = 0; i < names.size(); ++i)
      if (summaries[i] && summaries[i]->RefersToFormula(library, formula)) calcUsers.push_back(names[i]);
  }

  Variant formulas, calcs;
  CCalcCmdBase::StringArrayToVariant(formulaUsers, &formulas);
  CCalcCmdBase::StringArrayToVariant(calcUsers, &calcs);
  std::vector<Variant> both;
  both.push_back(std::move(formulas));
  both.push_back(std::move(calcs));
  *result = com::VariantArray(std::move(both));
}

Bstr FindReferences(CCalcCmdBase& cmd, const Bstr& nodeName, const Bstr& tagName) {
  cmd.ResetLastError();
  const std::string node = nodeName.ToUtf8();
  const std::string tag = tagName.ToUtf8();
  std::string reply = "<Calculation><References node=\"" + XmlEscape(node) + "\" tag=\"" + XmlEscape(tag) + "\">";
  const char* const footer = " </References> </Calculation>";
  // With nothing to look for the stores are not scanned, but the object is left where a search
  // leaves it.
  const bool searching = !node.empty() && !tag.empty();

  // "<root>\Apps\.." names the root only where "<root>\Apps" exists, and the on-demand store is
  // made when missing: make both before either is visited.
  platform::CreateDirectories(cmd.Fs(), layout::AppDir(g_BasePath, kOnDemandApp));
  store::NodeMatcher matcher(*cmd.Env().system, node);
  auto onTag = [&](const components::TagReference& t) {
    return store::EqualNoCase(t.tag, tag) && matcher.Matches(t.server);
  };

  // Regular calculations: the root store, through the application directory "..".
  cmd.SetBaseDirectory("..");
  std::vector<std::string> names;
  if (searching) names = Calculations(cmd.Fs(), cmd.m_baseDir);
  auto summaries = CalculationSummaries(cmd.m_baseDir, names);
  for (size_t i = 0; i < names.size(); ++i) {
    if (!summaries[i]) continue;
    std::string params;
    for (const auto& t : summaries[i]->tags) {
      if (!onTag(t)) continue;
      if (!params.empty()) params += ", ";
      params += t.parameter;
    }
    if (!params.empty())
      reply += "<ref tag=\"" + XmlEscape(names[i]) + "\" type=\"Regular Calc\" info=\"parameter(s): " +
               XmlEscape(params) + "\" />";
  }

  // On-demand calculations: tied to the tag through their "ReturnValue" parameter. The object
  // stays on this directory afterwards, as callers of this command expect.
  cmd.SetBaseDirectory(kOnDemandApp);
  names.clear();
  if (searching) names = Calculations(cmd.Fs(), cmd.m_baseDir);
  summaries = CalculationSummaries(cmd.m_baseDir, names);
  for (size_t i = 0; i < names.size(); ++i) {
    if (!summaries[i]) continue;
    for (const auto& t : summaries[i]->tags) {
      if (t.parameter != kReturnValue || !onTag(t)) continue;
      reply += "<ref tag=\"" + XmlEscape(names[i]) +
               "\" type=\"On-Demand Calc\" info=\"No additional info for on-demand calculations.\" />";
      break;
    }
  }
  return Bstr::FromUtf8(reply + footer);
}

}  // namespace kv::store
