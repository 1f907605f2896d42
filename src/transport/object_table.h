#pragma once
// The objects one client holds: path <-> object, each bound to the apartment its calls run on.
// The table keeps one reference per object; whoever removes an entry must drop that reference
// on the object's apartment. Used by the bus thread only (not thread-safe), except for the
// shared counters it is given.
#include <atomic>
#include <cstdint>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "com/dispatch.h"
#include "service/apartment_pool.h"
#include "protocol/typed_interface.h"
#include "protocol/variant_codec.h"

namespace kv::transport {

// The transport speaks the wire vocabulary of protocol/.
using namespace protocol;

struct HeldObject {
  std::string path;
  com::ComPtr<com::IUnknown> object;
  com::ComPtr<com::IDispatch> dispatch;  // null when the object does not answer IDispatch
  const TypedInterface* typed = nullptr;  // a command object's typed interface, else null
  Apartment* apartment = nullptr;
};

class ObjectTable {
 public:
  // `nextNumber` numbers paths across all clients; `live` counts held objects of all clients.
  ObjectTable(std::atomic<uint64_t>* nextNumber, std::atomic<long>* live) : next_(nextNumber), live_(live) {}
  ~ObjectTable();  // the entries must have been taken out (TakeAll) before

  // Beyond `limit` objects, Add refuses new ones.
  void SetLimit(size_t limit) { limit_ = limit; }
  size_t Limit() const { return limit_; }
  // The path of `obj` (not null): its existing one, or a new path bound to `apartment`; empty
  // when the object is new and the table is at its limit.
  std::string Add(const com::ComPtr<com::IUnknown>& obj, Apartment* apartment);
  // The entry at `path`, or nullptr.
  const HeldObject* Find(const std::string& path) const;
  // Takes the entry at `path` out; false when it is not held.
  bool Remove(const std::string& path, HeldObject* out);
  std::vector<HeldObject> TakeAll();

  size_t Size() const { return byPath_.size(); }
  // The last path element ("17") of the `max` lowest-numbered objects, in numeric order.
  std::vector<std::string> ChildNames(size_t max = SIZE_MAX) const;

 private:
  std::atomic<uint64_t>* next_;
  std::atomic<long>* live_;
  size_t limit_ = SIZE_MAX;
  std::unordered_map<std::string, HeldObject> byPath_;
  std::unordered_map<com::IUnknown*, std::string> byObject_;
};

// ObjectPaths over one client's table: objects met while encoding are bound to `apartment`
// (the apartment of the object whose call returned them).
class TablePaths : public ObjectPaths {
 public:
  TablePaths(ObjectTable* table, Apartment* apartment) : table_(table), apartment_(apartment) {}
  std::string PathOf(const com::ComPtr<com::IUnknown>& obj) override;
  bool ObjectAt(const std::string& path, com::ComPtr<com::IUnknown>* obj) override;

  // Whether PathOf met the table's limit, and the paths it added (to take back when the answer
  // that would have carried them fails).
  bool refused() const { return refused_; }
  const std::vector<std::string>& added() const { return added_; }

 private:
  bool refused_ = false;
  std::vector<std::string> added_;
  ObjectTable* table_;
  Apartment* apartment_;
};

}  // namespace kv::transport
