#pragma once
// The database pass-through: SQLite databases opened by path and named by the connect string
// they were opened with. A connect string is a path, or "Data Source=<path>" with other
// "key=value;" pairs ignored. Thread-safe.
#include <sqlite3.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace kv::tags {

class SqliteConnections {
 public:
  SqliteConnections() = default;
  ~SqliteConnections();
  SqliteConnections(const SqliteConnections&) = delete;
  SqliteConnections& operator=(const SqliteConnections&) = delete;

  // Opens the database (an existing file; read-only when `readOnly`); true also when that
  // connect string is already open. False and SQLite's reason otherwise.
  bool Connect(const std::string& connect, bool readOnly, std::string* error);
  // False and a reason when no connection of that name is open.
  bool Close(const std::string& connection, std::string* error);
  // Prepares `query` (never runs it) and gives its column names and declared types ("" for an
  // expression column).
  bool QueryInfo(const std::string& connection, const std::string& query, std::vector<std::string>* names,
                 std::vector<std::string>* types, std::string* error);

  // The database path a connect string names.
  static std::string PathOf(const std::string& connect);

 private:
  std::mutex mu_;
  std::map<std::string, sqlite3*> open_;  // guarded by mu_
};

}  // namespace kv::tags
