// Fair service: the latency of one client's CalcCommandVersion (p50, p99) while another client
// floods the server with 200,000 pipelined calls on its own connection. Target: p99 < 20 ms.
#include <systemd/sd-bus.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/connection.h"
#include "client/remote_object.h"
#include "config/config.h"
#include "dispatch/calc_commands.h"
#include "protocol/wire_names.h"
#include "service/apartment_pool.h"
#include "transport/server.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kFloodCalls = 200000;

// Sends kFloodCalls calls as fast as the socket takes them, reading answers as they come.
// Returns the number answered.
int Flood(const std::string& address, std::atomic<bool>* started) {
  sd_bus* bus = nullptr;
  sd_bus_message* reply = nullptr;
  const char* path = nullptr;
  if (sd_bus_new(&bus) < 0 || sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_start(bus) < 0 ||
      sd_bus_call_method(bus, nullptr, kv::protocol::kRootPath, kv::protocol::kClassFactoryInterface, "CreateInstance",
                         nullptr, &reply, "s", "Kelvarin.CalcCommands") < 0 ||
      sd_bus_message_read(reply, "o", &path) < 0) {
    std::fprintf(stderr, "flood: cannot connect or create\n");
    started->store(true);
    return 0;
  }
  const std::string obj = path;
  sd_bus_message_unref(reply);
  started->store(true);
  int answered = 0;
  auto drain = [&] {
    for (;;) {
      sd_bus_message* m = nullptr;
      int r = sd_bus_process(bus, &m);
      if (m) {
        ++answered;
        sd_bus_message_unref(m);
      }
      if (r <= 0) return r;
    }
  };
  for (int i = 0; i < kFloodCalls; ++i) {
    sd_bus_message* m = nullptr;
    uint64_t cookie;
    sd_bus_message_new_method_call(bus, &m, nullptr, obj.c_str(), nullptr, "CalcCommandVersion");
    int r = sd_bus_send(bus, m, &cookie);
    sd_bus_message_unref(m);
    if (r < 0) break;
    if (i % 64 == 0 && drain() < 0) break;
  }
  while (answered < kFloodCalls) {
    if (drain() < 0) break;
    if (answered < kFloodCalls && sd_bus_wait(bus, 5'000'000) <= 0) break;
  }
  sd_bus_close_unref(bus);
  return answered;
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

}  // namespace

int main() {
  char tmpl[] = "/tmp/kelvarin-fairness-XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  kv::g_BasePath = dir + "/store";
  kv::RegisterCommandClasses();
  kv::ApartmentPool pool;
  kv::transport::Server::Options options;
  options.socketPath = dir + "/bus";
  auto server = std::make_unique<kv::transport::Server>(options, pool);
  std::string error;
  if (server->Start(&error) < 0) {
    std::fprintf(stderr, "fairness_bench: %s\n", error.c_str());
    return 1;
  }
  std::thread runner([&] { server->Run(); });
  const std::string address = server->Address();

  std::shared_ptr<kv::client::Connection> conn;
  std::shared_ptr<kv::client::RemoteObject> obj;
  if (!kv::client::Connection::Open(address, &conn).ok() || !conn->CreateInstance("Kelvarin.CalcCommands", &obj).ok()) {
    std::fprintf(stderr, "fairness_bench: cannot connect\n");
    return 1;
  }

  std::vector<double> alone;
  for (int i = 0; i < 2000; ++i) {
    auto t0 = Clock::now();
    kv::client::CallResult r;
    obj->Call("CalcCommandVersion", {}, &r);
    alone.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }

  std::atomic<bool> started{false}, done{false};
  int answered = 0;
  auto t0 = Clock::now();
  std::thread flooder([&] {
    answered = Flood(address, &started);
    done.store(true);
  });
  while (!started.load()) std::this_thread::yield();
  std::vector<double> during;
  int failed = 0;
  while (!done.load()) {
    auto c0 = Clock::now();
    kv::client::CallResult r;
    if (!obj->Call("CalcCommandVersion", {}, &r).ok()) ++failed;
    during.push_back(std::chrono::duration<double, std::milli>(Clock::now() - c0).count());
  }
  flooder.join();
  const double floodSeconds = std::chrono::duration<double>(Clock::now() - t0).count();

  std::printf("alone:        %zu calls  p50 %.3f ms  p99 %.3f ms\n", alone.size(), Percentile(alone, 0.50),
              Percentile(alone, 0.99));
  std::printf("during flood: %zu calls  p50 %.3f ms  p99 %.3f ms  max %.3f ms  (%d failed)\n", during.size(),
              Percentile(during, 0.50), Percentile(during, 0.99), Percentile(during, 1.0), failed);
  std::printf("flood:        %d of %d calls answered in %.2f s (%.0f calls/s)\n", answered, kFloodCalls, floodSeconds,
              answered / floodSeconds);
  std::printf("target p99 < 20 ms: %s\n", Percentile(during, 0.99) < 20.0 ? "met" : "MISSED");

  obj->Release();
  obj.reset();
  conn.reset();
  server->Stop();
  runner.join();
  server.reset();
  std::filesystem::remove_all(dir);
  return 0;
}
