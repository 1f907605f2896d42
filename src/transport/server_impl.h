#pragma once
// Internals of Server shared by its source files (server.cc: the loop, connections and
// completions; server_calls.cc: routing and answering calls). Bus thread only, except where
// marked.
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <sys/types.h>

#include <atomic>
#include <deque>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "com/dispatch.h"
#include "com/guid.h"
#include "transport/caller.h"
#include "transport/completion_queue.h"
#include "transport/object_table.h"
#include "transport/server.h"
#include "protocol/typed_interface.h"

namespace kv::transport {

struct ServerCore;

struct Client {
  Client(uint64_t id, std::atomic<uint64_t>* nextNumber, std::atomic<long>* live) : id(id), objects(nextNumber, live) {}

  uint64_t id;
  sd_bus* bus = nullptr;           // private: this client's connection; bus mode: the shared bus
  std::string sender;              // bus mode: the client's unique name
  sd_bus_slot* filter = nullptr;   // private mode
  sd_event_source* post = nullptr; // private mode
  sd_event_source* io = nullptr;   // private mode: the socket, served by ServeClient
  sd_event_source* timer = nullptr;  // private mode: sd-bus's own deadlines (queued input, auth)
  ServerCore* core = nullptr;
  pid_t pid = 0;                   // private mode, 0 when the socket does not tell
  size_t inFlight = 0;             // calls posted and not answered yet
  // Replies sd-bus has not written yet, oldest first, by estimated size: sd-bus tells only how
  // many messages it holds, so the sizes are kept here and trimmed to that count.
  std::deque<uint32_t> unsent;
  size_t unsentBytes = 0;
  std::shared_ptr<const Caller> caller;
  ObjectTable objects;
  bool closing = false;
};

enum class CallKind : uint8_t { Create, GetIDs, Invoke, Typed, Release, Root };

// What the bus thread keeps about a call while its apartment works on it.
struct PendingCall {
  sd_bus_message* message = nullptr;  // referenced; unreferenced on the bus thread only
  uint64_t clientId = 0;
};

// What an apartment hands back. Its values may hold objects: they are dropped on `apartment`.
struct Completion {
  uint64_t callId = 0;  // 0: nobody waits for an answer (a release after a disconnect)
  CallKind kind = CallKind::Invoke;
  Apartment* apartment = nullptr;
  const TypedMethod* typed = nullptr;
  com::CLSID clsid{};
  std::string name;
  com::DISPID dispid = 0;
  uint16_t flags = 0;
  com::HRESULT hr = com::S_OK;
  std::vector<com::Variant> args;
  com::Variant result;
  ReplyWriter writer;  // CallKind::Root
};

using CompletionPtr = std::shared_ptr<Completion>;
using Queue = CompletionQueue<CompletionPtr>;

struct ServerCore {
  ServerCore(Server::Options o, ApartmentPool& p);

  // server.cc
  int Start(std::string* error);
  void Teardown();
  int AcceptOne();
  Client* ClientOf(sd_bus_message* m);
  Client* FindClient(uint64_t id);
  void CloseClient(Client* c);
  void ReapClosed();
  void DrainCompletions();
  void Finish(CompletionPtr c);
  void DropValues(CompletionPtr c);
  void CheckLastObject();
  void PrepareClient(Client* c);
  void ServeClient(Client* c);
  // Matches c->unsent to what sd-bus still holds, after `sent` more bytes were queued (0: only
  // trim). False when the client went over maxQueuedBytes and was disconnected.
  bool NoteUnsent(Client* c, size_t sent);
  void Disconnect(Client* c, const char* why);

  // server_calls.cc
  int OnMessage(sd_bus_message* m);
  int RouteObjectCall(Client& c, sd_bus_message* m, const std::string& path, const char* iface, const char* member);
  int Introspect(Client& c, sd_bus_message* m, const std::string& path);
  int CreateInstance(Client& c, sd_bus_message* m);
  // The root interface a call at the root path belongs to, or null.
  const RootInterface* RootInterfaceOf(const char* iface, const char* member) const;
  int CallRoot(Client& c, sd_bus_message* m, const RootMethod& method);
  int CallDispatch(Client& c, sd_bus_message* m, const HeldObject& obj, const char* member);
  int CallTyped(Client& c, sd_bus_message* m, const HeldObject& obj, const TypedMethod& method);
  int ReleaseObject(Client& c, sd_bus_message* m, const std::string& path);
  void PostCall(Client& c, sd_bus_message* m, const HeldObject& obj, CompletionPtr comp);
  void PostRelease(HeldObject held, uint64_t callId);
  uint64_t Remember(Client& c, sd_bus_message* m);
  void Reply(Client* c, sd_bus_message* call, const CompletionPtr& comp);
  const std::string& TypedXml(const TypedInterface& t);

  Server::Options options;
  ApartmentPool& pool;
  std::vector<std::string> rootInterfaceXml;  // of options.rootInterfaces, in their order
  sd_event* event = nullptr;
  sd_bus* sharedBus = nullptr;  // bus mode
  int listenFd = -1;
  int stopFd = -1;
  sd_event_source* listenSource = nullptr;
  sd_event_source* stopSource = nullptr;
  sd_event_source* queueSource = nullptr;
  sd_event_source* reapSource = nullptr;
  bool started = false;
  bool acceptPaused = false;

  std::shared_ptr<Queue> queue;  // shared with work still queued on apartments
  std::unordered_map<uint64_t, std::unique_ptr<Client>> clients;
  std::unordered_map<sd_bus*, uint64_t> byBus;
  std::unordered_map<std::string, uint64_t> bySender;
  std::unordered_map<uint64_t, PendingCall> pending;
  std::map<const TypedInterface*, std::string> typedXml;
  uint64_t nextClient = 0;
  uint64_t nextCall = 0;
  long pendingReleases = 0;
  long pendingCreates = 0;
  bool everHeld = false;

  std::atomic<uint64_t> nextObjectNumber{0};
  std::atomic<long> liveObjects{0};
  std::atomic<size_t> connectionCount{0};
};

}  // namespace kv::transport
