#pragma once
// ZrCalcEnvironment: loads calculations and libraries from the store on first use and holds
// them until told to drop them. Calculations are held per (directory, name), libraries per
// name; names are compared exactly. Thread-safe: a file is read and parsed without the lock
// and the object is kept only if no other thread kept one first and nothing was dropped in the
// meantime, so concurrent requests for one name all get the same object.
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "components/calc_components.h"
#include "engine/calculation.h"
#include "engine/library.h"
#include "engine/server_context.h"
#include "tags/sqlite_connections.h"
#include "tags/tag_source.h"

namespace kv::engine {

using components::Bstr;
using com::ComPtr;
using com::IDispatch;
using com::Variant;

// The embedded tag database, in the root's bin folder.
inline constexpr const char* kTagDatabaseName = "tags.db";

class ZrCalcEnvironment : public com::ComObject<components::IZrCalcEnvironment> {
 public:
  // The calculation `name` ("Flow1" or "Area3\Flow1") from "<dir>\Calc\<name>.zrc", where a
  // null or empty `dir` means the root base directory. S_OK and the held object, or S_FALSE
  // and null when the file is missing or cannot be loaded (a damaged file logs one line per
  // attempt) or when no root is set and none is given.
  HRESULT GetCalculation(const Bstr& name, const Bstr& dir, ComPtr<IDispatch>* calc) override;
  // The library `name` from "<root>\Lib\<name>.zrc"; results as GetCalculation.
  HRESULT GetLibrary(const Bstr& name, ComPtr<IDispatch>* lib) override;
  // Give the calling thread its own Lua state, and close it (group threads; other threads get
  // one on first use).
  HRESULT AttachThread() override;
  HRESULT DetachThread() override;
  // Drop every held object of that name (calculations: in every directory); the next request
  // reads the file again. Objects already handed out stay valid.
  HRESULT RemoveLibrary(const Bstr& name) override;
  HRESULT RemoveCalculation(const Bstr& name) override;
  // A new object read from `path`, not held. The failing load's negative result otherwise.
  // When the file gives the object no name, it takes `name`.
  HRESULT LoadCalculationFile(const Bstr& path, const Bstr& name, ComPtr<IDispatch>* calc) override;
  HRESULT LoadLibraryFile(const Bstr& path, const Bstr& name, ComPtr<IDispatch>* lib) override;
  // The database pass-through on SQLite databases (see IZrCalcEnvironment). A connect string that
  // is already open answers true again.
  HRESULT EnvAdoConnect(const Bstr& connect, const Bstr& user, const Bstr& password, long options,
                        Variant* result) override;
  HRESULT EnvAdoClose(const Bstr& connection, Variant* result) override;
  HRESULT EnvAdoQueryInfo(const Bstr& connection, const Bstr& query, Variant* fieldNames, Variant* fieldTypes,
                          Variant* result) override;
  // Drops the held library so that the next GetLibrary reads the saved file, and every Lua
  // state's compiled copy of the library.
  HRESULT LibraryFormulaSaved(const Bstr& library, const Bstr& formula) override;
  // Kept (one reference) for the calculations' unit conversions.
  HRESULT SetUnitConversionObject(IDispatch* units) override;
  // Setting another root drops the held libraries.
  HRESULT SetBasePath(const Bstr& root) override;

  ComPtr<IDispatch> UnitConversionObject() const;

  // The tag store: the one set by SetTagSource, else the embedded database
  // "<root>\bin\tags.db", opened on first use (its folder made when missing). Null, and the
  // reason in TagStoreError, when there is no root or the database cannot be opened.
  std::shared_ptr<tags::TagSource> Tags();
  std::string TagStoreError() const;
  // Replaces the tag source (tests, other sources); null goes back to the embedded store.
  void SetTagSource(std::shared_ptr<tags::TagSource> source);
  // Moves on whenever a library may have changed; Lua states drop their compiled libraries.
  uint64_t LibraryGeneration() const { return libraryGeneration_.load(); }

 private:
  template <class T, class Key>
  // A new object loaded here has its property puts guarded as `guard`.
  HRESULT GetHeld(std::map<Key, ComPtr<T>>& held, const Key& key, const std::string& path, ComPtr<IDispatch>* out,
                  components::SharedObject guard);

  // The platform of the server that made it, kept for its lifetime.
  platform::Env& platform_ = EnginePlatform();
  mutable std::mutex mu_;
  std::string root_;
  // Keyed by (directory, name); the root's calculations under the root's own path.
  std::map<std::pair<std::string, std::string>, ComPtr<ZrCalculation>> calcs_;
  std::map<std::string, ComPtr<ZrLibrary>> libs_;
  // Counts the drops, so a load that raced with one is not kept.
  uint64_t drops_ = 0;
  ComPtr<IDispatch> units_;
  std::shared_ptr<tags::TagSource> tags_;  // guarded by mu_
  bool tagsInjected_ = false;              // guarded by mu_
  std::string tagError_;                   // guarded by mu_
  std::atomic<uint64_t> libraryGeneration_{1};
  tags::SqliteConnections ado_;
};

}  // namespace kv::engine
