#pragma once
// The command object: the state of one client object (store directory, whether permission checks
// apply, the last error) and the opening steps every command takes. The commands themselves are
// free functions of their subsystems (store/store_commands.h, scheduler/schedule_commands.h,
// units/units_commands.h, exchange/exchange_commands.h, execution/execution_commands.h) taking
// the object they run on. One per dispatch object, never shared, always called on that object's
// apartment thread: no lock.
//
// Every command follows the same prologue: ResetLastError; the permission check when m_accessMode is 0
// (always for the shared library store and units table); GetBaseDirectory (CMDERR_BASE_DIR_NOT_INITIALIZED
// when unset) or GetRootDirectory; then the work, where each failure sets exactly one error and returns the
// command's failure value.
#include <cstdint>
#include <string>
#include <vector>

#include "com/bstr.h"
#include "com/dispatch.h"
#include "com/variant.h"
#include "platform/env.h"

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

  // `env` is the platform every command of this object works on (files, clock).
  explicit CCalcCmdBase(platform::Env& env = platform::Env::Current()) : m_env(&env) {}
  virtual ~CCalcCmdBase() = default;
  CCalcCmdBase(const CCalcCmdBase&) = delete;
  CCalcCmdBase& operator=(const CCalcCmdBase&) = delete;

  virtual const CommandRuntimeClass* GetRuntimeClass() const;

  // ---- Last error ----------------------------------------------------------------------
  void ResetLastError();
  // The table text of `code`, or "Undefined Error Code: %ld (0x%X)" when it has none.
  void SetCommandError(long code);
  // A command's own text (every caller passes CMDERR_CATCH_ALL).
  void SetCommandError(const std::string& text, long code);
  // Code through `code`, text as the result; reading does not clear it.
  Bstr GetLastCommandError(long* code) const;
  // The text alone.
  Bstr GetLastErrorText() const {
    long code = 0;
    return GetLastCommandError(&code);
  }

  // ---- Directories ---------------------------------------------------------------------
  // Empty name: rooted at g_BasePath with checks on. Otherwise "<g_BasePath>\Apps\<name>",
  // creating Calc, Calc\Edit, Lib and Lib\Edit there (results not checked), checks off.
  // Always true.
  bool SetBaseDirectory(const std::string& appName);
  // True and m_baseDir when it has been set; false and "" otherwise.
  bool GetBaseDirectory(std::string* dir) const;
  // Prologue step 3: GetBaseDirectory, setting CMDERR_BASE_DIR_NOT_INITIALIZED when it is not set.
  bool RequireBaseDirectory(std::string* dir);
  // The root base directory g_BasePath; always true.
  bool GetRootDirectory(std::string* dir) const;
  // "<m_baseDir>\<name>" exists, or is created (one level); whether it is there afterwards.
  bool EnsureSubdirectory(const std::string& name);
  // Fills `value` with the list result; an empty list leaves `value` as it was.
  static void StringArrayToVariant(const std::vector<std::string>& list, Variant* value);

  // The environment's directory argument for calculations: null for the main store, the
  // calculation base directory for an application object.
  Bstr CalculationDirectoryArgument() const;

  // ---- Platform and failure helpers ----------------------------------------------------
  // The platform this object works on, and its file system.
  platform::Env& Env() const { return *m_env; }
  platform::FileSystem& Fs() const { return *m_env->fs; }
  // SetCommandError(code), then the failure value: `return Failed(CMDERR_...);`.
  bool Failed(long code) {
    SetCommandError(code);
    return false;
  }
  ComPtr<IDispatch> NoObject(long code) {
    SetCommandError(code);
    return nullptr;
  }

  // ---- Commands of the command object itself -------------------------------------------
  // The command server's version text.
  Bstr CalcCommandVersion();

  // ---- Access control ------------------------------------------------------------------
  enum class Grant { Full, ScriptOnly, Refused };
  // The CheckAccess command: clears the last error and answers whether the caller holds
  // `taskNo` (passed to the gate bit for bit). Sets no error and asks even when m_accessMode
  // is not 0.
  bool CheckAccess(long taskNo);
  // Which store a command changes. An application object skips the gate only for its own
  // store; the library store under the root base directory and the units table are shared by
  // every client, so commands on them ask whatever m_accessMode says.
  enum class StoreScope { Own, Shared };
  // Prologue step 2: true when m_accessMode is not 0 (no check) for a command on the object's
  // own store, or the gate grants `right`; otherwise SetCommandError(refusalCode) and false.
  bool CheckPermission(uint32_t right, long refusalCode, StoreScope scope = StoreScope::Own);
  // Whether the caller holds `right`, as CheckPermission decides it, setting no error: for the
  // command that reports a refusal through its own result.
  bool HoldsRight(uint32_t right, StoreScope scope = StoreScope::Own) const;
  // The two-right rule: `wide` first, `scriptOnly` only when `wide` is refused. Full when
  // m_accessMode is not 0 (own store only) or `wide` is held; ScriptOnly when only `scriptOnly`
  // is held (the command then refuses non-CalcScript objects itself); Refused, after
  // SetCommandError(refusalCode), when neither is held.
  Grant CheckTwoRights(uint32_t wide, uint32_t scriptOnly, long refusalCode, StoreScope scope = StoreScope::Own);

  // ---- Fields (public for the dispatch wrappers and tests; commands own them) ----------
  int32_t m_accessMode = kAccessChecked;
  std::string m_appName;
  std::string m_baseDir;
  uint32_t m_dirFlags = 0;
  std::string m_lastErrorText;
  long m_lastError = 0;

 private:
  platform::Env* m_env;
};

// The command object of the main dispatch class: rooted at g_BasePath from the start.
class ZrCalcCmdObject : public CCalcCmdBase {
 public:
  explicit ZrCalcCmdObject(platform::Env& env = platform::Env::Current());
  const CommandRuntimeClass* GetRuntimeClass() const override;
};

// The command object of the application dispatch class: unrooted until SetBaseDirectory.
class ZrCalcAppCmdObject : public CCalcCmdBase {
 public:
  explicit ZrCalcAppCmdObject(platform::Env& env = platform::Env::Current()) : CCalcCmdBase(env) {}
  const CommandRuntimeClass* GetRuntimeClass() const override;
};

}  // namespace kv
