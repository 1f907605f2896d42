#include "transport/server.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "log/debug_log.h"
#include "transport/peer_identity.h"
#include "transport/private_socket.h"
#include "transport/server_impl.h"
#include "protocol/wire_names.h"

namespace kv::transport {

namespace {

// Messages one connection may have handled per turn of the loop before the others get theirs.
constexpr int kMessagesPerTurn = 16;
// What an unsent message is counted as when its size is not known (errors, sd-bus's own answers).
constexpr uint32_t kSmallMessageBytes = 256;

int SetError(std::string* error, const std::string& what, int r) {
  if (error) *error = what + ": " + std::strerror(-r);
  return r;
}

int OnFilter(sd_bus_message* m, void* userdata, sd_bus_error*) {
  return static_cast<ServerCore*>(userdata)->OnMessage(m);
}

int OnStop(sd_event_source* s, int fd, uint32_t, void*) {
  uint64_t n;
  [[maybe_unused]] ssize_t got = read(fd, &n, sizeof n);
  return sd_event_exit(sd_event_source_get_event(s), 0);
}

int OnQueue(sd_event_source*, int, uint32_t, void* userdata) {
  static_cast<ServerCore*>(userdata)->DrainCompletions();
  return 0;
}

int OnAccept(sd_event_source*, int, uint32_t, void* userdata) {
  auto* impl = static_cast<ServerCore*>(userdata);
  for (int i = 0; i < 64; ++i) {
    int r = impl->AcceptOne();
    if (r == -EAGAIN) break;
    // Out of descriptors or memory: the waiting client would wake the loop forever, so stop
    // accepting until a client goes away.
    if (r == -EMFILE || r == -ENFILE || r == -ENOBUFS || r == -ENOMEM) {
      sd_event_source_set_enabled(impl->listenSource, SD_EVENT_OFF);
      impl->acceptPaused = true;
      break;
    }
  }
  return 0;
}

int OnReap(sd_event_source*, void* userdata) {
  static_cast<ServerCore*>(userdata)->ReapClosed();
  return 0;
}

// libdbus clients send their first call right behind the end of authentication; without
// this the call may sit in the read buffer until the client sends something else.
int OnPost(sd_event_source*, void* userdata) {
  auto* c = static_cast<Client*>(userdata);
  if (!c->closing && sd_bus_is_ready(c->bus) > 0) c->core->ServeClient(c);
  return 0;
}

// The client buses are not attached to the event loop (sd-bus would read and answer each as
// fast as it can, and flush them all on exit): the loop watches their sockets and deadlines and
// ServeClient takes a bounded share of each.
int OnClientPrepare(sd_event_source*, void* userdata) {
  auto* c = static_cast<Client*>(userdata);
  c->core->PrepareClient(c);
  return 0;
}

int OnClientIo(sd_event_source*, int, uint32_t, void* userdata) {
  auto* c = static_cast<Client*>(userdata);
  c->core->ServeClient(c);
  return 0;
}

int OnClientTime(sd_event_source*, uint64_t, void* userdata) {
  auto* c = static_cast<Client*>(userdata);
  c->core->ServeClient(c);
  return 0;
}

int OnNameOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* impl = static_cast<ServerCore*>(userdata);
  const char *name = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
  if (sd_bus_message_read(m, "sss", &name, &oldOwner, &newOwner) < 0) return 0;
  if (name[0] != ':' || newOwner[0] != '\0') return 0;
  auto it = impl->bySender.find(name);
  if (it != impl->bySender.end()) impl->CloseClient(impl->FindClient(it->second));
  return 0;
}

}  // namespace

Server::Server(Options options, ApartmentPool& pool) : impl_(std::make_unique<ServerCore>(std::move(options), pool)) {
  impl_->stopFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

Server::~Server() { impl_->Teardown(); }

int Server::Start(std::string* error) { return impl_->Start(error); }

int Server::Run() {
  if (!impl_->started) return -ENOTCONN;
  return sd_event_loop(impl_->event);
}

void Server::Stop() {
  uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(impl_->stopFd, &one, sizeof one);
}

std::string Server::Address() const {
  return impl_->options.bus == Options::Private ? "unix:path=" + impl_->options.socketPath : std::string();
}

size_t Server::ConnectionCount() const { return impl_->connectionCount.load(); }

long Server::ObjectCount() const { return impl_->liveObjects.load(); }

int ServerCore::Start(std::string* error) {
  if (started) return SetError(error, "already started", -EALREADY);
  if (stopFd < 0 || queue->fd() < 0) return SetError(error, "eventfd", -EMFILE);
  int r = sd_event_new(&event);
  if (r < 0) return SetError(error, "sd_event_new", r);
  r = sd_event_add_io(event, &stopSource, stopFd, EPOLLIN, OnStop, this);
  // Ahead of any client's traffic, so a flood does not delay the stop.
  if (r >= 0) r = sd_event_source_set_priority(stopSource, SD_EVENT_PRIORITY_IMPORTANT);
  if (r >= 0) r = sd_event_add_io(event, &queueSource, queue->fd(), EPOLLIN, OnQueue, this);
  if (r >= 0) r = sd_event_add_defer(event, &reapSource, OnReap, this);
  if (r >= 0) r = sd_event_source_set_enabled(reapSource, SD_EVENT_OFF);
  if (r < 0) return SetError(error, "event sources", r);

  if (options.bus == Server::Options::Private) {
    listenFd = ListenPrivateSocket(options.socketPath, error);
    if (listenFd < 0) return listenFd;
    r = sd_event_add_io(event, &listenSource, listenFd, EPOLLIN, OnAccept, this);
    if (r < 0) return SetError(error, "listen source", r);
  } else {
    r = options.bus == Server::Options::System ? sd_bus_open_system(&sharedBus) : sd_bus_open_user(&sharedBus);
    if (r < 0) return SetError(error, options.bus == Server::Options::System ? "system bus" : "session bus", r);
    r = sd_bus_add_filter(sharedBus, nullptr, OnFilter, this);
    if (r >= 0)
      r = sd_bus_match_signal(sharedBus, nullptr, "org.freedesktop.DBus", kDBusPath, kDBusInterface, "NameOwnerChanged",
                              OnNameOwnerChanged, this);
    if (r >= 0) r = sd_bus_attach_event(sharedBus, event, SD_EVENT_PRIORITY_NORMAL);
    if (r < 0) return SetError(error, "bus set-up", r);
    r = sd_bus_request_name(sharedBus, kBusName, 0);
    if (r < 0) return SetError(error, std::string("cannot own ") + kBusName, r);
  }
  started = true;
  return 0;
}

int ServerCore::AcceptOne() {
  int fd = AcceptClient(listenFd);
  if (fd < 0) return fd;
  auto caller = std::make_shared<Caller>();
  uid_t uid;
  if (PeerUid(fd, &uid)) {
    caller->known = true;
    caller->uid = uid;
    caller->userName = UserNameOf(uid);
  }
  auto c = std::make_unique<Client>(++nextClient, &nextObjectNumber, &liveObjects);
  c->caller = std::move(caller);
  c->core = this;
  c->objects.SetLimit(options.maxObjects);
  struct ucred cred {};
  socklen_t len = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0) c->pid = cred.pid;
  sd_bus* bus = nullptr;
  int r = sd_bus_new(&bus);
  if (r < 0) {
    close(fd);
    return r;
  }
  c->bus = bus;
  sd_id128_t id;
  r = sd_bus_set_fd(bus, fd, fd);
  if (r < 0) close(fd);
  if (r >= 0) r = sd_id128_randomize(&id);
  if (r >= 0) r = sd_bus_set_server(bus, 1, id);
  if (r >= 0) r = sd_bus_add_filter(bus, &c->filter, OnFilter, this);
  if (r >= 0) r = sd_bus_start(bus);
  if (r >= 0) r = sd_event_add_io(event, &c->io, fd, 0, OnClientIo, c.get());
  if (r >= 0) r = sd_event_source_set_prepare(c->io, OnClientPrepare);
  if (r >= 0) r = sd_event_add_time(event, &c->timer, CLOCK_MONOTONIC, 0, 0, OnClientTime, c.get());
  if (r >= 0) r = sd_event_source_set_enabled(c->timer, SD_EVENT_OFF);
  if (r >= 0) r = sd_event_add_post(event, &c->post, OnPost, c.get());
  if (r < 0) {
    sd_event_source_disable_unref(c->post);
    sd_event_source_disable_unref(c->io);
    sd_event_source_disable_unref(c->timer);
    sd_bus_slot_unref(c->filter);
    sd_bus_close_unref(bus);
    return 0;
  }
  byBus.emplace(bus, c->id);
  clients.emplace(c->id, std::move(c));
  connectionCount.fetch_add(1);
  return 0;
}

Client* ServerCore::FindClient(uint64_t id) {
  auto it = clients.find(id);
  return it == clients.end() ? nullptr : it->second.get();
}

Client* ServerCore::ClientOf(sd_bus_message* m) {
  sd_bus* bus = sd_bus_message_get_bus(m);
  if (bus != sharedBus) {
    auto it = byBus.find(bus);
    Client* c = it == byBus.end() ? nullptr : FindClient(it->second);
    return c && !c->closing ? c : nullptr;
  }
  const char* sender = sd_bus_message_get_sender(m);
  if (!sender) return nullptr;
  auto it = bySender.find(sender);
  if (it != bySender.end()) {
    Client* c = FindClient(it->second);
    return c && !c->closing ? c : nullptr;
  }
  // The credentials query asks the bus daemon, so it is made once per sender.
  auto caller = std::make_shared<Caller>();
  sd_bus_creds* creds = nullptr;
  uid_t uid;
  if (sd_bus_query_sender_creds(m, SD_BUS_CREDS_EUID, &creds) >= 0 && sd_bus_creds_get_euid(creds, &uid) >= 0) {
    caller->known = true;
    caller->uid = uid;
    caller->userName = UserNameOf(uid);
  }
  sd_bus_creds_unref(creds);
  auto c = std::make_unique<Client>(++nextClient, &nextObjectNumber, &liveObjects);
  c->core = this;
  c->objects.SetLimit(options.maxObjects);
  c->bus = sharedBus;
  c->sender = sender;
  c->caller = std::move(caller);
  Client* raw = c.get();
  bySender.emplace(sender, c->id);
  clients.emplace(c->id, std::move(c));
  connectionCount.fetch_add(1);
  return raw;
}

void ServerCore::CloseClient(Client* c) {
  if (!c || c->closing) return;
  c->closing = true;
  for (HeldObject& held : c->objects.TakeAll()) PostRelease(std::move(held), 0);
  sd_event_source_set_enabled(reapSource, SD_EVENT_ONESHOT);
}

void ServerCore::Disconnect(Client* c, const char* why) {
  if (!c || c->closing) return;
  g_DebugLog.Write("Kelvarin transport: disconnecting client uid " +
                       (c->caller && c->caller->known ? std::to_string(c->caller->uid) : std::string("unknown")) +
                       " pid " + (c->pid ? std::to_string(c->pid) : std::string("unknown")),
                   why);
  CloseClient(c);
}

void ServerCore::PrepareClient(Client* c) {
  if (c->closing) {
    sd_event_source_set_io_events(c->io, 0);
    sd_event_source_set_enabled(c->timer, SD_EVENT_OFF);
    return;
  }
  // At the limit of unanswered calls the client is not read from (nor written to, which
  // sd-bus does in the same step) until its answers come back from the apartments; the
  // kernel's socket buffer then holds up its sender.
  if (c->inFlight >= options.maxPendingCalls) {
    sd_event_source_set_io_events(c->io, 0);
    sd_event_source_set_enabled(c->timer, SD_EVENT_OFF);
    return;
  }
  int events = sd_bus_get_events(c->bus);
  sd_event_source_set_io_events(c->io, events > 0 ? static_cast<uint32_t>(events) : 0);
  uint64_t until = 0;
  if (sd_bus_get_timeout(c->bus, &until) > 0 && until != UINT64_MAX) {
    sd_event_source_set_time(c->timer, until);
    sd_event_source_set_enabled(c->timer, SD_EVENT_ONESHOT);
  } else {
    sd_event_source_set_enabled(c->timer, SD_EVENT_OFF);
  }
}

void ServerCore::ServeClient(Client* c) {
  for (int i = 0; i < kMessagesPerTurn && !c->closing && c->inFlight < options.maxPendingCalls; ++i) {
    int r = sd_bus_process(c->bus, nullptr);
    if (!NoteUnsent(c, 0)) return;
    if (r < 0) {
      CloseClient(c);
      return;
    }
    if (r == 0) return;
  }
}

bool ServerCore::NoteUnsent(Client* c, size_t sent) {
  if (!c->sender.empty() || c->closing) return true;
  if (sent) {
    c->unsent.push_back(static_cast<uint32_t>(std::min<size_t>(sent, UINT32_MAX)));
    c->unsentBytes += c->unsent.back();
  }
  uint64_t queued = 0;
  if (sd_bus_get_n_queued_write(c->bus, &queued) < 0) queued = 0;
  // sd-bus writes in order, so what it no longer holds is the oldest.
  while (c->unsent.size() > queued) {
    c->unsentBytes -= c->unsent.front();
    c->unsent.pop_front();
  }
  while (c->unsent.size() < queued) {
    c->unsent.push_back(kSmallMessageBytes);
    c->unsentBytes += kSmallMessageBytes;
  }
  if (c->unsentBytes <= options.maxQueuedBytes) return true;
  Disconnect(c, ("more than " + std::to_string(options.maxQueuedBytes) + " bytes of replies unread").c_str());
  return false;
}

void ServerCore::ReapClosed() {
  for (auto it = clients.begin(); it != clients.end();) {
    Client* c = it->second.get();
    if (!c->closing) {
      ++it;
      continue;
    }
    if (c->sender.empty()) {
      c->post = sd_event_source_disable_unref(c->post);
      c->io = sd_event_source_disable_unref(c->io);
      c->timer = sd_event_source_disable_unref(c->timer);
      c->filter = sd_bus_slot_unref(c->filter);
      byBus.erase(c->bus);
      c->bus = sd_bus_close_unref(c->bus);
    } else {
      bySender.erase(c->sender);
    }
    it = clients.erase(it);
    connectionCount.fetch_sub(1);
  }
  if (acceptPaused) {
    acceptPaused = false;
    sd_event_source_set_enabled(listenSource, SD_EVENT_ON);
  }
}

void ServerCore::DrainCompletions() {
  for (CompletionPtr& c : queue->TakeAll()) Finish(std::move(c));
}

void ServerCore::Finish(CompletionPtr comp) {
  Client* c = nullptr;
  sd_bus_message* call = nullptr;
  if (comp->callId) {
    auto it = pending.find(comp->callId);
    if (it != pending.end()) {
      call = it->second.message;
      c = FindClient(it->second.clientId);
      if (c && c->inFlight) --c->inFlight;
      if (c && c->closing) c = nullptr;
      pending.erase(it);
    }
  }
  if (comp->kind == CallKind::Release) --pendingReleases;
  if (comp->kind == CallKind::Create) --pendingCreates;
  if (c && call) Reply(c, call, comp);
  sd_bus_message_unref(call);
  CallKind kind = comp->kind;
  DropValues(std::move(comp));
  if (kind == CallKind::Release || kind == CallKind::Create) CheckLastObject();
}

void ServerCore::DropValues(CompletionPtr comp) {
  bool objects = HoldsObject(comp->result);
  for (size_t i = 0; !objects && i < comp->args.size(); ++i) objects = HoldsObject(comp->args[i]);
  if (!objects || !comp->apartment) return;
  // The last reference to an object must go on the object's own apartment.
  Apartment* apartment = comp->apartment;
  apartment->Post([comp = std::move(comp)]() mutable { comp.reset(); });
}

void ServerCore::CheckLastObject() {
  if (everHeld && liveObjects.load() == 0 && pendingReleases == 0 && pendingCreates == 0 &&
      options.onLastObjectReleased)
    options.onLastObjectReleased();
}

void ServerCore::Teardown() {
  for (CompletionPtr& c : queue->Close()) {
    c->callId = 0;
    DropValues(std::move(c));
  }
  for (auto& [id, call] : pending) sd_bus_message_unref(call.message);
  pending.clear();
  for (auto& [id, c] : clients) {
    for (HeldObject& held : c->objects.TakeAll()) PostRelease(std::move(held), 0);
    if (c->sender.empty()) {
      sd_event_source_disable_unref(c->post);
      sd_event_source_disable_unref(c->io);
      sd_event_source_disable_unref(c->timer);
      sd_bus_slot_unref(c->filter);
      sd_bus_close_unref(c->bus);  // no flush: a client that stopped reading must not hold up the end
    }
  }
  clients.clear();
  byBus.clear();
  bySender.clear();
  connectionCount.store(0);
  if (sharedBus) {
    sd_bus_detach_event(sharedBus);
    sharedBus = sd_bus_flush_close_unref(sharedBus);
  }
  listenSource = sd_event_source_disable_unref(listenSource);
  stopSource = sd_event_source_disable_unref(stopSource);
  queueSource = sd_event_source_disable_unref(queueSource);
  reapSource = sd_event_source_disable_unref(reapSource);
  if (listenFd >= 0) {
    close(listenFd);
    listenFd = -1;
    unlink(options.socketPath.c_str());
  }
  if (stopFd >= 0) close(stopFd);
  stopFd = -1;
  event = sd_event_unref(event);
}

}  // namespace kv::transport
