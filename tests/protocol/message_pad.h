#pragma once
// Messages for codec tests: an sd-bus connection over a socket pair (never authenticated, it
// only needs to be open for messages to be built), a fresh method call to append to, and
// sealing so that what was appended can be read back.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <systemd/sd-bus.h>

namespace kv::testing {

class MessagePad {
 public:
  MessagePad() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) != 0) ADD_FAILURE() << "socketpair";
    peer_ = fds[1];
    sd_bus_new(&bus_);
    sd_bus_set_fd(bus_, fds[0], fds[0]);
    if (sd_bus_start(bus_) < 0) ADD_FAILURE() << "sd_bus_start";
  }
  ~MessagePad() {
    sd_bus_message_unref(m_);
    sd_bus_close_unref(bus_);
    close(peer_);
  }

  // A new empty message (the previous one is dropped).
  sd_bus_message* Fresh() {
    m_ = sd_bus_message_unref(m_);
    if (sd_bus_message_new_method_call(bus_, &m_, nullptr, "/t", "t.T", "M") < 0) ADD_FAILURE() << "new message";
    return m_;
  }
  // Seals the message and moves to its start for reading.
  sd_bus_message* Sealed() {
    EXPECT_GE(sd_bus_message_seal(m_, ++cookie_, 0), 0);
    EXPECT_GE(sd_bus_message_rewind(m_, true), 0);
    return m_;
  }

 private:
  sd_bus* bus_ = nullptr;
  sd_bus_message* m_ = nullptr;
  int peer_ = -1;
  uint64_t cookie_ = 0;
};

// Appends VT_ARRAY|VT_VARIANT arrays nested `levels` deep around one VT_I4 42, written by hand
// as a client might (our encoder refuses to go deeper than the limit).
inline void AppendRawNested(sd_bus_message* m, int levels) {
  uint16_t vt = 0x2000 | 12;  // VT_ARRAY | VT_VARIANT
  sd_bus_message_open_container(m, 'r', "qv");
  sd_bus_message_append_basic(m, 'q', &vt);
  sd_bus_message_open_container(m, 'v', "(ia(qv))");
  sd_bus_message_open_container(m, 'r', "ia(qv)");
  sd_bus_message_append(m, "i", 0);
  sd_bus_message_open_container(m, 'a', "(qv)");
  if (levels > 1)
    AppendRawNested(m, levels - 1);
  else
    sd_bus_message_append(m, "(qv)", 3, "i", 42);  // VT_I4
  for (int i = 0; i < 4; ++i) sd_bus_message_close_container(m);
}

}  // namespace kv::testing
