#pragma once
// The command object: carries out every command of both dispatch interfaces and holds the state
// of one client object (store directory, whether permission checks apply, the last error). One
// per dispatch object, never shared, always called on that object's apartment thread: no lock.
//
// Every command follows the same prologue: ResetLastError; the permission check when
// m_accessMode is 0; GetBaseDirectory (179 when unset) or GetRootDirectory; then the work,
// where each failure sets exactly one error and returns the command's failure value.
#include <cstdint>
#include <string>
#include <vector>

#include "com/bstr.h"
#include "com/dispatch.h"
#include "com/variant.h"

namespace kv {

using com::Bstr;
using com::ComPtr;
using com::IDispatch;
using com::Variant;

// The dynamic-creation record of a command object class.
struct CommandRuntimeClass {
  const char* className;
  size_t objectSize;
  unsigned schema;
};

class CCalcCmdBase {
 public:
  // m_accessMode values: checks run / application object with its directory set, checks skipped.
  static constexpr int32_t kAccessChecked = 0;
  static constexpr int32_t kAccessApplication = 9;
  // Bit 0 of m_dirFlags: m_baseDir has been set.
  static constexpr uint32_t kDirSet = 1;

  CCalcCmdBase() = default;
  virtual ~CCalcCmdBase() = default;
  CCalcCmdBase(const CCalcCmdBase&) = delete;
  CCalcCmdBase& operator=(const CCalcCmdBase&) = delete;

  virtual const CommandRuntimeClass* GetRuntimeClass() const;

  // ---- Last error ----------------------------------------------------------------------
  void ResetLastError();
  // The table text of `code`, or "Undefined Error Code: %ld (0x%X)" when it has none.
  void SetCommandError(long code);
  // A command's own text (every caller passes 186, CMDERR_CATCH_ALL).
  void SetCommandError(const std::string& text, long code);
  // Code through `code`, text as the result; reading does not clear it.
  Bstr GetLastCommandError(long* code) const;

  // ---- Directories ---------------------------------------------------------------------
  // Empty name: rooted at g_BasePath with checks on. Otherwise "<g_BasePath>\Apps\<name>",
  // creating Calc, Calc\Edit, Lib and Lib\Edit there (results not checked), checks off.
  // Always true.
  bool SetBaseDirectory(const std::string& appName);
  // True and m_baseDir when it has been set; false and "" otherwise.
  bool GetBaseDirectory(std::string* dir) const;
  // The root base directory g_BasePath; always true.
  bool GetRootDirectory(std::string* dir) const;
  // "<m_baseDir>\<name>" exists, or is created (one level); whether it is there afterwards.
  bool EnsureSubdirectory(const std::string& name);
  // Fills `value` with the list result; an empty list leaves `value` as it was.
  static void StringArrayToVariant(const std::vector<std::string>& list, Variant* value);

  // ---- Store layout and scans ----------------------------------------------------------
  // True when nothing exists at `path` (a find-first on the path finds nothing).
  static bool FileIsMissing(const std::string& path);
  // False as soon as any character is white space (space, \t, \r, \n, \v, \f).
  static bool NameHasNoWhiteSpace(const std::string& name);
  // The calculation scan over "<base>\Calc\*": 179 and an empty list without a base directory.
  std::vector<std::string> ListCalculations();
  // The folder scan over "<base>\Calc\*".
  std::vector<std::string> ListCalcFolders();
  // The library scan over "<root>\Lib\*.zrc".
  std::vector<std::string> ListLibraries();

  // ---- List and fetch commands ---------------------------------------------------------
  void GetCalculationList(Variant* outVal);
  void GetLibraryList(Variant* result);
  void GetFormulaList(IDispatch* library, Variant* result);
  ComPtr<IDispatch> GetCalculationObject(const Bstr& name);
  ComPtr<IDispatch> GetLibraryObject(const Bstr& name);
  ComPtr<IDispatch> GetLibraryObjectEx(const Bstr& name) { return GetLibraryObject(name); }
  void GetCalculationSummary(Variant* result);

  // ---- Access control (bodies in commands/permission.cc) -------------------------------
  enum class Grant { Full, ScriptOnly, Refused };
  // The CheckAccess command: clears the last error and answers whether the caller holds
  // `taskNo` (passed to the gate bit for bit). Sets no error and asks even when m_accessMode
  // is not 0.
  bool CheckAccess(long taskNo);
  // Prologue step 2: true when m_accessMode is not 0 (no check) or the gate grants `right`;
  // otherwise SetCommandError(refusalCode) and false.
  bool CheckPermission(uint32_t right, long refusalCode);
  // The two-right rule: `wide` first, `scriptOnly` only when `wide` is refused. Full when
  // m_accessMode is not 0 or `wide` is held; ScriptOnly when only `scriptOnly` is held (the
  // command then refuses non-CalcScript objects itself); Refused, after
  // SetCommandError(refusalCode), when neither is held.
  Grant CheckTwoRights(uint32_t wide, uint32_t scriptOnly, long refusalCode);

  // ---- Fields (public for the dispatch wrappers and tests; commands own them) ----------
  int32_t m_accessMode = kAccessChecked;
  std::string m_appName;
  std::string m_baseDir;
  uint32_t m_dirFlags = 0;
  std::string m_lastErrorText;
  long m_lastError = 0;

 protected:
  // The environment's directory argument for calculations: null for the main store, the
  // calculation base directory for an application object.
  Bstr CalculationDirectoryArgument() const;
};

// The command object of the main dispatch class: rooted at g_BasePath from the start.
class ZrCalcCmdObject : public CCalcCmdBase {
 public:
  ZrCalcCmdObject();
  const CommandRuntimeClass* GetRuntimeClass() const override;
};

// The command object of the application dispatch class: unrooted until SetBaseDirectory.
class ZrCalcAppCmdObject : public CCalcCmdBase {
 public:
  ZrCalcAppCmdObject() = default;
  const CommandRuntimeClass* GetRuntimeClass() const override;
};

}  // namespace kv
