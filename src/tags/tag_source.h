#pragma once
// Where tag parameters read and write process values: a tag is named by its server (the
// process-data node) and its tag name, both compared without regard to case, and holds a
// value, a quality, a time stamp and its units. The engine sees tags only through TagSource, so
// another source (a site historian, a shared database for many nodes) can take the place of
// the embedded store without touching the engine.
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace kv::tags {

// A value as the store holds it: nothing, an integer, a real or a text.
using TagValue = std::variant<std::monostate, int64_t, double, std::string>;

inline constexpr int32_t kQualityGood = 192;
inline constexpr int32_t kQualityBad = 0;

struct TagSample {
  TagValue value;
  int32_t quality = kQualityGood;
  double time = 0;    // OLE date, UTC
  std::string units;  // the tag's units ("" when it has none)
};

struct TagWrite {
  std::string server, tag;
  TagValue value;
  int32_t quality = kQualityGood;
  double time = 0;
};

enum class TagStatus {
  kOk,
  kNoSuchTag,       // the server has no tag of that name
  kServerOffline,   // the server cannot be reached
  kSpooled,         // the write failed and was kept for forwarding (store-and-forward)
  kStoreError,      // the store itself failed (the text says why)
};

// A readable text for a status ("" for kOk).
const char* TagStatusText(TagStatus status);

// A tag named by strings the caller keeps alive for the call.
struct TagKey {
  const std::string* server;
  const std::string* tag;
};

struct TagInfo {
  std::string server, tag;
  TagSample sample;
};

// Thread-safe: the group threads and the command threads call one source at once.
class TagSource {
 public:
  virtual ~TagSource() = default;
  virtual TagStatus Read(const std::string& server, const std::string& tag, TagSample* out) = 0;
  // Read of each key, as of one moment where the source can give that (a run's inputs).
  virtual void ReadMany(const std::vector<TagKey>& keys, std::vector<TagSample>* out, std::vector<TagStatus>* status) {
    out->assign(keys.size(), TagSample());
    status->assign(keys.size(), TagStatus::kOk);
    for (size_t i = 0; i < keys.size(); ++i) (*status)[i] = Read(*keys[i].server, *keys[i].tag, &(*out)[i]);
  }
  // Applies the writes as one unit (all or none reach the store, except that writes spooled
  // under store-and-forward are acknowledged as kSpooled). `outcome` gets one status per write.
  // With `storeAndForward`, a write that fails because its server is offline is spooled and
  // forwarded by Forward, in order, once the server is back.
  virtual void Write(const std::vector<TagWrite>& writes, bool storeAndForward, std::vector<TagStatus>* outcome) = 0;
  virtual bool Exists(const std::string& server, const std::string& tag) = 0;
  // The tags of a server ("" for every server), ordered by server and tag.
  virtual std::vector<TagInfo> List(const std::string& server) = 0;
  // Forwards spooled writes whose server is reachable, oldest first; a server still offline
  // keeps its writes (and their order). The number forwarded.
  virtual int Forward() = 0;
  // Lets the calling thread's writes until the matching EndBatch share transactions, which a
  // source may commit later than Write returns (each Write stays all or none): a crash can then
  // lose writes Write acknowledged, up to EndBatch, which commits them. BeginBatch is false when
  // the source does not batch for this thread; EndBatch false when batched writes were lost.
  virtual bool BeginBatch() { return false; }
  virtual bool EndBatch() { return true; }
};

}  // namespace kv::tags
