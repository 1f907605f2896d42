#pragma once
// The outcome of a client call. The client library never throws: every fallible routine
// returns a Status (and leaves its outputs unspecified when it is not ok).
#include <cstdint>
#include <string>
#include <utility>

namespace kv::client {

class Status {
 public:
  enum class Code {
    kOk,
    kInvalidArgument,  // the caller's values do not fit the method (count, type, foreign object)
    kUnknownMethod,    // the name is not in the object's method table
    kConnect,          // no connection could be made
    kTransport,        // the connection failed during a call (closed, timed out, I/O error)
    kRemote,           // the server answered with an error reply; remoteName() says which
    kProtocol,         // the reply did not have the shape the method promises
  };

  Status() = default;
  Status(Code code, std::string message, std::string remoteName = {}, int32_t hresult = 0)
      : code_(code), message_(std::move(message)), remoteName_(std::move(remoteName)), hresult_(hresult) {}

  bool ok() const { return code_ == Code::kOk; }
  Code code() const { return code_; }
  const std::string& message() const { return message_; }
  // The D-Bus error name of a kRemote status ("org.freedesktop.DBus.Error.UnknownMethod").
  const std::string& remoteName() const { return remoteName_; }
  // The failed HRESULT the server's object answered (com.quorlith.Kelvarin.Error.HRESULT), or 0.
  int32_t hresult() const { return hresult_; }

  // "<message>"; for remote errors "<remoteName>: <message>", or "the server answered HRESULT
  // 0x80004001 (E_NOTIMPL)" when an object failed.
  std::string ToString() const;

 private:
  Code code_ = Code::kOk;
  std::string message_;
  std::string remoteName_;
  int32_t hresult_ = 0;
};

}  // namespace kv::client
