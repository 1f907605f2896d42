#include "tags/sqlite_connections.h"

#include <strings.h>

namespace kv::tags {
namespace {

std::string Trim(std::string s) {
  const auto b = s.find_first_not_of(" \t");
  const auto e = s.find_last_not_of(" \t");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

}  // namespace

SqliteConnections::~SqliteConnections() {
  for (auto& [name, db] : open_) sqlite3_close(db);
}

std::string SqliteConnections::PathOf(const std::string& connect) {
  size_t pos = 0;
  while (pos < connect.size()) {
    size_t end = connect.find(';', pos);
    if (end == std::string::npos) end = connect.size();
    const std::string part = connect.substr(pos, end - pos);
    const size_t eq = part.find('=');
    if (eq != std::string::npos && strcasecmp(Trim(part.substr(0, eq)).c_str(), "Data Source") == 0)
      return Trim(part.substr(eq + 1));
    pos = end + 1;
  }
  return Trim(connect);
}

bool SqliteConnections::Connect(const std::string& connect, bool readOnly, std::string* error) {
  std::lock_guard lock(mu_);
  if (open_.count(connect)) return true;
  const std::string path = PathOf(connect);
  if (path.empty()) {
    *error = "no database path in the connect string";
    return false;
  }
  sqlite3* db = nullptr;
  const int flags = readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE;
  const int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    *error = std::string(db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)) + ": " + path;
    sqlite3_close(db);
    return false;
  }
  sqlite3_busy_timeout(db, 5000);
  open_[connect] = db;
  return true;
}

bool SqliteConnections::Close(const std::string& connection, std::string* error) {
  std::lock_guard lock(mu_);
  auto it = open_.find(connection);
  if (it == open_.end()) {
    *error = "no open connection named \"" + connection + "\"";
    return false;
  }
  sqlite3_close(it->second);
  open_.erase(it);
  return true;
}

bool SqliteConnections::QueryInfo(const std::string& connection, const std::string& query,
                                  std::vector<std::string>* names, std::vector<std::string>* types,
                                  std::string* error) {
  std::lock_guard lock(mu_);
  auto it = open_.find(connection);
  if (it == open_.end()) {
    *error = "no open connection named \"" + connection + "\"";
    return false;
  }
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(it->second, query.c_str(), static_cast<int>(query.size()), &stmt, nullptr) != SQLITE_OK) {
    *error = sqlite3_errmsg(it->second);
    return false;
  }
  if (!stmt) {
    *error = "the query is empty";
    return false;
  }
  const int n = sqlite3_column_count(stmt);
  for (int i = 0; i < n; ++i) {
    names->push_back(sqlite3_column_name(stmt, i) ? sqlite3_column_name(stmt, i) : "");
    const char* t = sqlite3_column_decltype(stmt, i);
    types->push_back(t ? t : "");
  }
  sqlite3_finalize(stmt);
  return true;
}

}  // namespace kv::tags
