#pragma once
// An sd-bus client for transport tests: peer-to-peer on a socket address, or through a bus
// daemon to the server's well-known name.
#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <cstdarg>
#include <string>
#include <utility>

#include "protocol/wire_names.h"

namespace kv::testing {

// A method reply or error; owns the reply message.
struct Reply {
  sd_bus_message* m = nullptr;
  std::string error;    // D-Bus error name, "" on success
  std::string message;  // the error's text

  Reply() = default;
  Reply(Reply&& o) noexcept : m(std::exchange(o.m, nullptr)), error(std::move(o.error)), message(std::move(o.message)) {}
  Reply& operator=(Reply&&) = delete;
  ~Reply() { sd_bus_message_unref(m); }
  bool ok() const { return error.empty(); }
};

class TestClient {
 public:
  // `viaBus`: `address` is a bus daemon's and calls go to the server's well-known name.
  explicit TestClient(const std::string& address, bool viaBus = false) : viaBus_(viaBus) {
    int r = sd_bus_new(&bus_);
    if (r >= 0) r = sd_bus_set_address(bus_, address.c_str());
    if (r >= 0) r = sd_bus_set_bus_client(bus_, viaBus);
    if (r >= 0) r = sd_bus_start(bus_);
    if (r < 0) ADD_FAILURE() << "cannot connect to " << address << ": " << r;
  }
  ~TestClient() { Close(); }
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  void Close() { bus_ = sd_bus_flush_close_unref(bus_); }

  // A call ready for arguments; `iface` may be null (as dbus-python sends by default).
  sd_bus_message* NewCall(const std::string& path, const char* iface, const char* member) {
    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_method_call(bus_, &m, viaBus_ ? protocol::kBusName : nullptr, path.c_str(), iface, member);
    if (r < 0) ADD_FAILURE() << "new call " << member << ": " << r;
    return m;
  }

  // Sends `call` (consumed) and waits for its answer.
  Reply Send(sd_bus_message* call) {
    Reply reply;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r = sd_bus_call(bus_, call, 0, &error, &reply.m);
    if (r < 0) {
      reply.error = error.name ? error.name : "errno " + std::to_string(-r);
      reply.message = error.message ? error.message : "";
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(call);
    return reply;
  }

  // A call with arguments appended by sd_bus_message_append's `types` and values.
  Reply Call(const std::string& path, const char* iface, const char* member, const char* types = nullptr, ...) {
    sd_bus_message* m = NewCall(path, iface, member);
    if (types && *types) {
      va_list ap;
      va_start(ap, types);
      int r = sd_bus_message_appendv(m, types, ap);
      va_end(ap);
      if (r < 0) ADD_FAILURE() << "append " << types << ": " << r;
    }
    return Send(m);
  }

  // A new object of `cls`; "" (and a test failure) when creation fails.
  std::string Create(const char* cls = "Kelvarin.TestCommands") {
    Reply r = Call(protocol::kRootPath, protocol::kClassFactoryInterface, "CreateInstance", "s", cls);
    const char* path = nullptr;
    if (!r.ok() || sd_bus_message_read(r.m, "o", &path) < 0) {
      ADD_FAILURE() << "CreateInstance " << cls << ": " << r.error << " " << r.message;
      return "";
    }
    return path;
  }

 private:
  sd_bus* bus_ = nullptr;
  bool viaBus_;
};

}  // namespace kv::testing
