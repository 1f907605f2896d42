#include "command_object/calc_cmd_base.h"

#include "base/versions.h"

#include <cstdio>

#include "base/error_codes.h"
#include "config/config.h"
#include "base/store_layout.h"
#include "base/versions.h"
#include "platform/env.h"
#include "platform/path.h"

namespace kv {

const CommandRuntimeClass* CCalcCmdBase::GetRuntimeClass() const {
  static const CommandRuntimeClass rc{"CCalcCmdBase", sizeof(CCalcCmdBase), 0xFFFF};
  return &rc;
}

const CommandRuntimeClass* ZrCalcCmdObject::GetRuntimeClass() const {
  static const CommandRuntimeClass rc{"ZrCalcCmdObject", sizeof(CCalcCmdBase), 0xFFFF};
  return &rc;
}

const CommandRuntimeClass* ZrCalcAppCmdObject::GetRuntimeClass() const {
  static const CommandRuntimeClass rc{"ZrCalcAppCmdObject", sizeof(CCalcCmdBase), 0xFFFF};
  return &rc;
}

ZrCalcCmdObject::ZrCalcCmdObject(platform::Env& env) : CCalcCmdBase(env) { SetBaseDirectory(""); }

void CCalcCmdBase::ResetLastError() {
  m_lastError = 0;
  m_lastErrorText.clear();
}

void CCalcCmdBase::SetCommandError(long code) {
  m_lastError = code;
  const char* text = CommandErrorText(code);
  if (text && *text) {
    m_lastErrorText = text;
    return;
  }
  char buf[64];
  std::snprintf(buf, sizeof buf, "Undefined Error Code: %ld (0x%lX)", code, static_cast<unsigned long>(code) & 0xFFFFFFFFul);
  m_lastErrorText = buf;
}

void CCalcCmdBase::SetCommandError(const std::string& text, long code) {
  m_lastError = code;
  m_lastErrorText = text;
}

Bstr CCalcCmdBase::GetLastCommandError(long* code) const {
  if (code) *code = m_lastError;
  return Bstr::FromUtf8(m_lastErrorText);
}

bool CCalcCmdBase::SetBaseDirectory(const std::string& appName) {
  m_appName = appName;
  if (appName.empty()) {
    m_baseDir = g_BasePath;
    m_accessMode = kAccessChecked;
  } else {
    m_baseDir = layout::AppDir(g_BasePath, appName);
    for (const char* sub : layout::kStoreSubdirectories) EnsureSubdirectory(sub);
    m_accessMode = kAccessApplication;
  }
  m_dirFlags |= kDirSet;
  return true;
}

bool CCalcCmdBase::GetBaseDirectory(std::string* dir) const {
  if (m_dirFlags & kDirSet) {
    *dir = m_baseDir;
    return true;
  }
  dir->clear();
  return false;
}

bool CCalcCmdBase::RequireBaseDirectory(std::string* dir) {
  if (GetBaseDirectory(dir)) return true;
  SetCommandError(CMDERR_BASE_DIR_NOT_INITIALIZED);
  return false;
}

bool CCalcCmdBase::GetRootDirectory(std::string* dir) const {
  *dir = g_BasePath;
  return true;
}

bool CCalcCmdBase::EnsureSubdirectory(const std::string& name) {
  const std::string path = layout::Join(m_baseDir, name);
  if (Fs().Exists(path)) return true;
  return Fs().CreateDirectory(path) == 0;
}

void CCalcCmdBase::StringArrayToVariant(const std::vector<std::string>& list, Variant* value) {
  if (list.empty()) return;
  *value = com::StringListVariant(list);
}

Bstr CCalcCmdBase::CalcCommandVersion() {
  ResetLastError();
  return Bstr::FromUtf8(kCommandInterfaceVersion);
}

Bstr CCalcCmdBase::CalculationDirectoryArgument() const {
  return m_accessMode == kAccessChecked ? Bstr() : Bstr::FromUtf8(m_baseDir);
}

}  // namespace kv
