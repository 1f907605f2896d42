#include "fake_server.h"

#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "client/connection.h"
#include "client/variant_codec.h"
#include "com/dispatch.h"

namespace kv::testing {

namespace {

class PathObject : public com::ComObject<com::IDispatch> {
 public:
  com::HRESULT GetIDsOfNames(std::string_view, com::DISPID*) override { return com::E_NOTIMPL; }
  com::HRESULT Invoke(com::DISPID, uint16_t, std::vector<com::Variant>&, com::Variant*) override {
    return com::E_NOTIMPL;
  }
};

// Objects arriving by path are kept, so that the same path goes back out.
class EchoPaths : public FakePaths {
 public:
  com::ComPtr<com::IDispatch> ObjectAt(const std::string& path) override {
    auto& o = objects[path];
    if (!o) o = com::MakeCom<PathObject>();
    return o;
  }
};

}  // namespace

FakeServer::FakeServer() : paths_(std::make_unique<EchoPaths>()) {
  char tmpl[] = "/tmp/kv_fake_server_XXXXXX";
  dir_ = mkdtemp(tmpl);
  std::string path = dir_ + "/bus";
  address_ = client::Connection::UnixAddress(path);
  listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  std::strncpy(sa.sun_path, path.c_str(), sizeof sa.sun_path - 1);
  bind(listenFd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  listen(listenFd_, 8);
  thread_ = std::thread([this] { AcceptLoop(); });
}

FakeServer::~FakeServer() {
  stop_ = true;
  thread_.join();
  close(listenFd_);
  std::filesystem::remove_all(dir_);
}

void FakeServer::DropClient() {
  std::unique_lock<std::mutex> l(mu_);
  dropRequested_ = true;
  cv_.wait(l, [this] { return !dropRequested_; });
}

void FakeServer::AcceptLoop() {
  while (!stop_) {
    pollfd p{listenFd_, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) Serve(fd);
  }
}

void FakeServer::Serve(int fd) {
  sd_bus* bus = nullptr;
  sd_id128_t id;
  sd_id128_randomize(&id);
  sd_bus_new(&bus);
  sd_bus_set_fd(bus, fd, fd);
  sd_bus_set_server(bus, 1, id);
  sd_bus_add_filter(bus, nullptr, &FakeServer::OnMessage, this);
  if (sd_bus_start(bus) >= 0) {
    while (!stop_) {
      {
        std::lock_guard<std::mutex> l(mu_);
        if (dropRequested_) break;
      }
      int r = sd_bus_process(bus, nullptr);
      if (r < 0 || sd_bus_is_open(bus) <= 0) break;
      if (r == 0) sd_bus_wait(bus, 50000);
    }
  }
  sd_bus_close_unref(bus);
  std::lock_guard<std::mutex> l(mu_);
  if (dropRequested_) {
    dropRequested_ = false;
    cv_.notify_all();
  }
}

int FakeServer::OnMessage(sd_bus_message* m, void* self, sd_bus_error*) {
  if (!sd_bus_message_is_method_call(m, nullptr, nullptr)) return 0;
  return static_cast<FakeServer*>(self)->Handle(m);
}

int FakeServer::Handle(sd_bus_message* m) {
  std::string iface = sd_bus_message_get_interface(m) ? sd_bus_message_get_interface(m) : "";
  std::string member = sd_bus_message_get_member(m);
  std::string path = sd_bus_message_get_path(m);
  auto sig = [&](const char* s) { return sd_bus_message_has_signature(m, s) > 0; };
  auto fail = [&](const char* name, const std::string& text) {
    return sd_bus_reply_method_errorf(m, name, "%s", text.c_str());
  };

  if (iface == client::kClassFactoryInterface && member == "CreateInstance" && sig("s")) {
    const char* cls = nullptr;
    sd_bus_message_read(m, "s", &cls);
    {
      std::lock_guard<std::mutex> l(mu_);
      record_.created.push_back(cls);
    }
    if (std::string(cls) != "Kelvarin.CalcCommands" && std::string(cls) != "Kelvarin.CalcAppCommands")
      return fail("com.quorlith.Kelvarin.Error.ClassNotRegistered", cls);
    return sd_bus_reply_method_return(m, "o", kCommandPath);
  }
  if (iface == client::kDispatchInterface) {
    if (member == "Release" && sig("")) {
      std::lock_guard<std::mutex> l(mu_);
      record_.released.push_back(path);
      return sd_bus_reply_method_return(m, "");
    }
    if (member == "GetIDsOfNames" && sig("s")) {
      const char* name = nullptr;
      sd_bus_message_read(m, "s", &name);
      com::DISPID id = ICalcCommandsTable().DispIdByName(name);
      if (id == com::DISPID_UNKNOWN) return fail("com.quorlith.Kelvarin.Error.UnknownName", name);
      return sd_bus_reply_method_return(m, "i", id);
    }
    if (member == "Invoke" && sig("iua(qv)")) {
      // Answers the DISPID as the result and hands every argument back by reference.
      int32_t id;
      uint32_t flags;
      sd_bus_message_read(m, "iu", &id, &flags);
      std::vector<com::Variant> args;
      sd_bus_message_enter_container(m, 'a', "(qv)");
      while (sd_bus_message_at_end(m, 0) == 0) {
        args.emplace_back();
        if (client::ReadVariant(m, &args.back(), *paths_) < 0) return fail("org.freedesktop.DBus.Error.InvalidArgs", "bad");
      }
      sd_bus_message* reply = nullptr;
      sd_bus_message_new_method_return(m, &reply);
      client::AppendVariant(reply, com::Variant::I4(id), *paths_);
      sd_bus_message_open_container(reply, 'a', "(qv)");
      for (auto& a : args) client::AppendVariant(reply, a, *paths_);
      sd_bus_message_close_container(reply);
      int r = sd_bus_send(nullptr, reply, nullptr);
      sd_bus_message_unref(reply);
      return r;
    }
  }
  if (iface == "com.quorlith.Kelvarin.ICalcCommands" || iface == "com.quorlith.Kelvarin.ICalcAppCommands") {
    {
      std::lock_guard<std::mutex> l(mu_);
      record_.calls.push_back(member);
    }
    if (member == "CalcCommandVersion" && sig("")) return sd_bus_reply_method_return(m, "s", "6.1.0");
    if (member == "SetBaseDirectory" && sig("s")) {
      const char* dir = nullptr;
      sd_bus_message_read(m, "s", &dir);
      return sd_bus_reply_method_return(m, "b", std::string(dir) != "nowhere");
    }
    if (member == "GetLastCommandError" && sig("i"))
      return sd_bus_reply_method_return(m, "is", 101, "Object not found");
    if (member == "GetConversion" && sig("sssdd")) {
      const char *type, *in, *out;
      double mult, offset;
      sd_bus_message_read(m, "sssdd", &type, &in, &out, &mult, &offset);
      return sd_bus_reply_method_return(m, "sddb", (std::string(out) + "!").c_str(), mult * 2, 273.15, 1);
    }
    if (member == "GetCalculationObject" && sig("s")) {
      const char* name = nullptr;
      sd_bus_message_read(m, "s", &name);
      return sd_bus_reply_method_return(m, "o", std::string(name) == "missing" ? "/" : kCalcPath);
    }
    if (member == "CalcExecute" && sig("o")) {
      const char* obj = nullptr;
      sd_bus_message_read(m, "o", &obj);
      {
        std::lock_guard<std::mutex> l(mu_);
        record_.executed.push_back(obj);
      }
      return sd_bus_reply_method_return(m, "b", std::string(obj) == kCalcPath);
    }
    if ((member == "GetCalculationList" && sig("")) || (member == "ExecuteItem" && sig("s(qv)"))) {
      com::Variant v;
      if (member == "ExecuteItem") {
        sd_bus_message_skip(m, "s");
        if (client::ReadVariant(m, &v, *paths_) < 0) return fail("org.freedesktop.DBus.Error.InvalidArgs", "bad variant");
      } else {
        com::SafeArray a(com::VT_BSTR, 0, 2);
        a.At(0) = com::Variant::Str("Boiler feed");
        a.At(1) = com::Variant::Str("Pump");
        v = com::Variant::Array(std::move(a));
      }
      sd_bus_message* reply = nullptr;
      sd_bus_message_new_method_return(m, &reply);
      client::AppendVariant(reply, v, *paths_);
      int r = sd_bus_send(nullptr, reply, nullptr);
      sd_bus_message_unref(reply);
      return r;
    }
    if (member == "FreeUnusedComLibraries" && sig("")) return sd_bus_reply_method_return(m, "");
  }
  return fail("org.freedesktop.DBus.Error.UnknownMethod", iface + "." + member + " is not served here");
}

}  // namespace kv::testing
