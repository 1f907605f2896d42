// Round trips of CalcCommandVersion through the server's transport, against a bare sd-bus echo
// server on the same kind of peer-to-peer socket in the same run; and throughput with 1, 4 and
// 16 clients, each with its own connection and object.
#include <sys/socket.h>
#include <sys/un.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include "bench_ratio.h"
#include "client/connection.h"
#include "client/remote_object.h"
#include "dispatch/calc_commands.h"
#include "config/config.h"
#include "service/apartment_pool.h"
#include "transport/server.h"

namespace {

std::string TempDir() {
  char tmpl[] = "/tmp/kelvarin-bench-bus-XXXXXX";
  return mkdtemp(tmpl);
}

// The floor: a server that answers one method with its argument, one thread per connection.
class EchoServer {
 public:
  explicit EchoServer(std::string path) : path_(std::move(path)) {
    listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path_.c_str());
    bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(listenFd_, 64);
    acceptor_ = std::thread([this] {
      for (;;) {
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        std::thread(Serve, fd).detach();
      }
    });
  }
  ~EchoServer() {
    shutdown(listenFd_, SHUT_RDWR);
    close(listenFd_);
    acceptor_.join();
  }

 private:
  static int Echo(sd_bus_message* m, void*, sd_bus_error*) {
    const char* s = nullptr;
    int r = sd_bus_message_read(m, "s", &s);
    return r < 0 ? r : sd_bus_reply_method_return(m, "s", s);
  }
  static void Serve(int fd) {
    static const sd_bus_vtable vtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("Echo", "s", "s", Echo, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_VTABLE_END,
    };
    sd_bus* bus = nullptr;
    sd_id128_t id;
    sd_id128_randomize(&id);
    if (sd_bus_new(&bus) < 0 || sd_bus_set_fd(bus, fd, fd) < 0 || sd_bus_set_server(bus, 1, id) < 0 ||
        sd_bus_add_object_vtable(bus, nullptr, "/echo", "bench.Echo", vtable, nullptr) < 0 || sd_bus_start(bus) < 0) {
      sd_bus_close_unref(bus);
      return;
    }
    for (;;) {
      int r = sd_bus_process(bus, nullptr);
      if (r < 0) break;
      if (r == 0 && sd_bus_wait(bus, UINT64_MAX) < 0) break;
    }
    sd_bus_close_unref(bus);
  }

  std::string path_;
  int listenFd_;
  std::thread acceptor_;
};

struct Fixture {
  Fixture() : dir(TempDir()), echo(dir + "/echo") {
    kv::g_BasePath = dir + "/store";
    kv::RegisterCommandClasses();
    kv::transport::Server::Options options;
    options.socketPath = dir + "/bus";
    server = std::make_unique<kv::transport::Server>(options, pool);
    std::string error;
    if (server->Start(&error) < 0) std::fprintf(stderr, "bench: %s\n", error.c_str());
    runner = std::thread([this] { server->Run(); });
  }
  ~Fixture() {
    server->Stop();
    runner.join();
    server.reset();
    std::filesystem::remove_all(dir);
  }
  std::string dir;
  EchoServer echo;
  kv::ApartmentPool pool;
  std::unique_ptr<kv::transport::Server> server;
  std::thread runner;
};

Fixture& Shared() {
  static Fixture f;
  return f;
}

void BM_BareSdBusEcho(benchmark::State& state) {
  sd_bus* bus = nullptr;
  sd_bus_new(&bus);
  sd_bus_set_address(bus, ("unix:path=" + Shared().dir + "/echo").c_str());
  if (sd_bus_start(bus) < 0) return state.SkipWithError("cannot connect to the echo server");
  for (auto _ : state) {
    sd_bus_message* reply = nullptr;
    if (sd_bus_call_method(bus, nullptr, "/echo", "bench.Echo", "Echo", nullptr, &reply, "s", "v7.3") < 0) {
      state.SkipWithError("echo call failed");
      break;
    }
    sd_bus_message_unref(reply);
  }
  sd_bus_close_unref(bus);
  state.SetItemsProcessed(state.iterations());
}

void BM_CalcCommandVersion(benchmark::State& state) {
  std::shared_ptr<kv::client::Connection> conn;
  if (!kv::client::Connection::Open("unix:path=" + Shared().dir + "/bus", &conn).ok())
    return state.SkipWithError("cannot connect to the server");
  std::shared_ptr<kv::client::RemoteObject> obj;
  if (!conn->CreateInstance("Kelvarin.CalcCommands", &obj).ok()) return state.SkipWithError("no object");
  for (auto _ : state) {
    kv::client::CallResult r;
    if (!obj->Call("CalcCommandVersion", {}, &r).ok()) {
      state.SkipWithError("call failed");
      break;
    }
  }
  obj->Release();
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_BareSdBusEcho)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CalcCommandVersion)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CalcCommandVersion)->Name("BM_CalcCommandVersion_clients")->Threads(1)->Threads(4)->Threads(16)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) { return kv::bench::RunWithRatios(argc, argv, "BM_BareSdBusEcho"); }
