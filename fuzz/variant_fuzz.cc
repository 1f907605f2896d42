// The VARIANT decoder on messages built from the fuzz bytes: a small program read from the bytes
// appends (qv) structs whose VARTYPE and value signature are chosen freely, arrays nested in
// them, objects the client holds and ones it does not. The decoder never crashes, and what it
// accepts encodes again.
#include <sys/socket.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "com/dispatch.h"
#include "fuzz_check.h"
#include "protocol/variant_codec.h"
#include "protocol/wire_names.h"

namespace {

using namespace kv;

class Plain : public com::ComObject<com::IUnknown> {};

// Two objects the client holds at fixed paths.
class FuzzPaths : public protocol::ObjectPaths {
 public:
  FuzzPaths() {
    for (int i = 1; i <= 2; ++i) held_[std::string(protocol::kObjectPathPrefix) + std::to_string(i)] = com::MakeCom<Plain>();
  }
  std::string PathOf(const com::ComPtr<com::IUnknown>& obj) override {
    for (auto& [path, o] : held_)
      if (o.Get() == obj.Get()) return path;
    return {};
  }
  bool ObjectAt(const std::string& path, com::ComPtr<com::IUnknown>* obj) override {
    auto it = held_.find(path);
    if (it == held_.end()) return false;
    *obj = it->second;
    return true;
  }

 private:
  std::map<std::string, com::ComPtr<com::IUnknown>> held_;
};

// The fuzz bytes, read front to back; zeros once they run out.
class Bytes {
 public:
  Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t U8() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t U16() { return static_cast<uint16_t>(U8() | U8() << 8); }
  uint32_t U32() { return U16() | static_cast<uint32_t>(U16()) << 16; }
  uint64_t U64() { return U32() | static_cast<uint64_t>(U32()) << 32; }
  std::string Text() {
    std::string s;
    for (size_t n = U8() % 8; n > 0; --n) s += static_cast<char>(0x20 + U8() % 0x5F);
    return s;
  }
  bool Done() const { return pos_ >= size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// The VARTYPEs worth trying: every one that travels, some that do not, and their arrays.
uint16_t PickVartype(Bytes& b) {
  static constexpr uint16_t kTypes[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 16, 17, 18, 19, 20, 21, 22, 23, 36};
  const uint8_t pick = b.U8();
  if (pick == 0xFF) return b.U16();  // anything at all
  uint16_t vt = kTypes[pick % std::size(kTypes)];
  if (pick & 0x80) vt |= 0x2000;  // VT_ARRAY
  return vt;
}

const char* const kSignatures[] = {"y", "n", "i", "q", "u", "x", "t", "d", "b", "s", "o", "(ia(qv))", "g", "as", "(qv)"};

void AppendValue(sd_bus_message* m, Bytes& b, int depth);

// One (qv).
void AppendStruct(sd_bus_message* m, Bytes& b, int depth) {
  const uint16_t vt = PickVartype(b);
  const char* sig = kSignatures[b.U8() % std::size(kSignatures)];
  if (depth > 12 && (sig[0] == '(')) sig = "i";  // keep the message finite
  sd_bus_message_open_container(m, 'r', "qv");
  sd_bus_message_append_basic(m, 'q', &vt);
  sd_bus_message_open_container(m, 'v', sig);
  switch (sig[0]) {
    case 'y': { uint8_t v = b.U8(); sd_bus_message_append_basic(m, 'y', &v); break; }
    case 'n': { int16_t v = static_cast<int16_t>(b.U16()); sd_bus_message_append_basic(m, 'n', &v); break; }
    case 'q': { uint16_t v = b.U16(); sd_bus_message_append_basic(m, 'q', &v); break; }
    case 'i': { int32_t v = static_cast<int32_t>(b.U32()); sd_bus_message_append_basic(m, 'i', &v); break; }
    case 'u': { uint32_t v = b.U32(); sd_bus_message_append_basic(m, 'u', &v); break; }
    case 'x': { int64_t v = static_cast<int64_t>(b.U64()); sd_bus_message_append_basic(m, 'x', &v); break; }
    case 't': { uint64_t v = b.U64(); sd_bus_message_append_basic(m, 't', &v); break; }
    case 'd': { uint64_t bits = b.U64(); double v; memcpy(&v, &bits, sizeof v); sd_bus_message_append_basic(m, 'd', &v); break; }
    case 'b': { int v = b.U8() & 1; sd_bus_message_append_basic(m, 'b', &v); break; }
    case 's': { std::string s = b.Text(); sd_bus_message_append_basic(m, 's', s.c_str()); break; }
    case 'g': sd_bus_message_append_basic(m, 'g', "i"); break;
    case 'o': {
      static const char* const kPaths[] = {"/", "/com/quorlith/Kelvarin/obj/1", "/com/quorlith/Kelvarin/obj/2",
                                           "/com/quorlith/Kelvarin/obj/3", "/x"};
      sd_bus_message_append_basic(m, 'o', kPaths[b.U8() % std::size(kPaths)]);
      break;
    }
    case 'a': sd_bus_message_append(m, "as", 1, "x"); break;
    default:
      if (sig[1] == 'q') {
        AppendStruct(m, b, depth + 1);
      } else {  // (ia(qv))
        sd_bus_message_open_container(m, 'r', "ia(qv)");
        int32_t lbound = static_cast<int32_t>(b.U32());
        sd_bus_message_append_basic(m, 'i', &lbound);
        sd_bus_message_open_container(m, 'a', "(qv)");
        for (int n = b.U8() % 5; n > 0; --n) AppendValue(m, b, depth + 1);
        sd_bus_message_close_container(m);
        sd_bus_message_close_container(m);
      }
  }
  sd_bus_message_close_container(m);
  sd_bus_message_close_container(m);
}

void AppendValue(sd_bus_message* m, Bytes& b, int depth) { AppendStruct(m, b, depth); }

struct Pad {
  Pad() {
    int fds[2];
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds);
    peer = fds[1];
    sd_bus_new(&bus);
    sd_bus_set_fd(bus, fds[0], fds[0]);
    sd_bus_start(bus);
  }
  sd_bus_message* Fresh() {
    sd_bus_message* m = nullptr;
    sd_bus_message_new_method_call(bus, &m, nullptr, "/t", "t.T", "M");
    return m;
  }
  sd_bus* bus = nullptr;
  int peer = -1;
  uint64_t cookie = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Pad pad;
  static FuzzPaths paths;
  Bytes b(data, size);
  sd_bus_message* m = pad.Fresh();
  sd_bus_message_open_container(m, 'a', "(qv)");
  for (int n = 0; n < 8 && !b.Done(); ++n) AppendStruct(m, b, 0);
  sd_bus_message_close_container(m);
  if (sd_bus_message_seal(m, ++pad.cookie, 0) < 0 || sd_bus_message_rewind(m, true) < 0) {
    sd_bus_message_unref(m);
    return 0;
  }
  std::vector<com::Variant> list;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  const int r = protocol::ReadVariantList(m, &list, &paths, &error);
  if (r < 0) FUZZ_CHECK(sd_bus_error_is_set(&error));
  sd_bus_error_free(&error);
  sd_bus_message_unref(m);
  if (r < 0) return 0;

  // What was read encodes again, and reads back to as many values.
  sd_bus_message* out = pad.Fresh();
  FUZZ_CHECK(protocol::AppendVariantList(out, list, &paths, &error) >= 0);
  FUZZ_CHECK(sd_bus_message_seal(out, ++pad.cookie, 0) >= 0 && sd_bus_message_rewind(out, true) >= 0);
  std::vector<com::Variant> back;
  FUZZ_CHECK(protocol::ReadVariantList(out, &back, &paths, &error) >= 0);
  FUZZ_CHECK(back.size() == list.size());
  sd_bus_error_free(&error);
  sd_bus_message_unref(out);
  return 0;
}
