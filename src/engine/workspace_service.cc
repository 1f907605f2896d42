#include "engine/workspace_service.h"

#include "engine/server_context.h"
#include "platform/env.h"
#include "platform/file_system.h"
#include "platform/registry_store.h"

namespace kv::engine {
namespace {

using platform::RegHive;

constexpr std::string_view kSqliteHeader{"SQLite format 3\0", 16};

std::string KeyOf(const std::string& workspace) { return std::string(kWorkspacesKey) + "\\" + workspace; }

// A usable workspace name: one key level, not empty.
bool IsWorkspaceName(const std::string& name) {
  return !name.empty() && name.find('\\') == std::string::npos && name.find('/') == std::string::npos;
}

// The tag database path of a configured workspace: 1, or 0 when the workspace is not configured,
// -1 when it has no path.
int TagDatabaseOf(platform::Env& env, const std::string& workspace, std::string* path) {
  if (!IsWorkspaceName(workspace) || !env.registry->KeyExists(RegHive::LocalMachine, KeyOf(workspace))) return 0;
  platform::RegValue v;
  if (env.registry->GetValue(RegHive::LocalMachine, KeyOf(workspace), kTagDatabaseValue, &v) != platform::kRegOk ||
      (v.type != platform::REG_SZ && v.type != platform::REG_EXPAND_SZ) || v.text.empty())
    return -1;
  *path = v.text;
  return 1;
}

}  // namespace

HRESULT ZrWorkspaceService::ListWorkspaces(com::Variant* names) {
  if (!names) return com::E_POINTER;
  platform::Env* env = ServerPlatform();
  if (!env) return com::E_UNEXPECTED;
  *names = com::StringListVariant(env->registry->SubKeys(RegHive::LocalMachine, kWorkspacesKey));
  return com::S_OK;
}

HRESULT ZrWorkspaceService::TestConnection(const com::Bstr& workspace, com::Bstr* report) {
  if (!report) return com::E_POINTER;
  platform::Env* env = ServerPlatform();
  if (!env) return com::E_UNEXPECTED;
  const std::string name = workspace.ToUtf8();
  const std::string prefix = "Workspace '" + name + "': ";
  std::string path, text;
  bool opens = false;
  switch (TagDatabaseOf(*env, name, &path)) {
    case 0:
      text = "not configured";
      break;
    case -1:
      text = "no tag database configured (value \"" + std::string(kTagDatabaseValue) + "\")";
      break;
    default: {
      std::string content;
      const int err = env->fs->ReadFile(path, &content);
      if (err != 0) {
        text = "tag database " + path + " cannot be opened (error " + std::to_string(err) + ")";
      } else if (content.compare(0, kSqliteHeader.size(), kSqliteHeader) != 0) {
        text = "tag database " + path + " is not an SQLite database";
      } else {
        text = "tag database " + path + " opens";
        opens = true;
      }
    }
  }
  *report = com::Bstr::FromUtf8(prefix + text);
  return opens ? com::S_OK : com::S_FALSE;
}

HRESULT ZrWorkspaceService::RunWorkspace(const com::Bstr& workspace, const com::Bstr& group, const com::Bstr& computer,
                                         com::Bstr* context) {
  if (!context) return com::E_POINTER;
  *context = com::Bstr::Null();
  platform::Env* env = ServerPlatform();
  if (!env) return com::E_UNEXPECTED;
  std::string path;
  if (TagDatabaseOf(*env, workspace.ToUtf8(), &path) == 0) return com::E_INVALIDARG;
  *context = com::Bstr::FromUtf8("Workspace=" + workspace.ToUtf8() + ";Group=" + group.ToUtf8() +
                                 ";Computer=" + computer.ToUtf8() + ";TagDatabase=" + path);
  return com::S_OK;
}

}  // namespace kv::engine
