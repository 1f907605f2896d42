#pragma once
// An sd-bus connection on one end of a socket pair: enough to build messages, seal them and
// read them back, with no peer listening.
#include <sys/socket.h>
#include <systemd/sd-bus.h>

#include <map>
#include <string>

#include "client/variant_codec.h"
#include "com/unknown.h"

namespace kv::testing {

class MessageBus {
 public:
  MessageBus() {
    int sv[2];
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv);
    peer_ = sv[1];
    sd_bus_new(&bus_);
    sd_bus_set_fd(bus_, sv[0], sv[0]);
    sd_bus_start(bus_);
  }
  ~MessageBus() {
    sd_bus_close_unref(bus_);
    close(peer_);
  }
  sd_bus_message* NewMessage() {
    sd_bus_message* m = nullptr;
    sd_bus_message_new_method_call(bus_, &m, nullptr, "/t", "t.T", "M");
    return m;
  }
  // Seals `m` and rewinds it for reading.
  static void Seal(sd_bus_message* m) {
    sd_bus_message_seal(m, ++cookie_, 0);
    sd_bus_message_rewind(m, 1);
  }

 private:
  sd_bus* bus_ = nullptr;
  int peer_ = -1;
  static inline uint64_t cookie_ = 0;
};

// Objects known by path: a test object's path is its name in the map.
class FakePaths : public client::ObjectPaths {
 public:
  std::map<std::string, com::ComPtr<com::IDispatch>> objects;
  bool PathOf(com::IUnknown* obj, std::string* path) override {
    for (auto& [p, o] : objects)
      if (static_cast<com::IUnknown*>(o.Get()) == obj) {
        *path = p;
        return true;
      }
    return false;
  }
  com::ComPtr<com::IDispatch> ObjectAt(const std::string& path) override { return objects[path]; }
};

}  // namespace kv::testing
