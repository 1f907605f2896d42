// Any bytes as an object string: a new object or null, never a fault; an object read back
// converts to a string again.
#include <cstddef>
#include <cstdint>

#include "com/object_stream.h"
#include "fuzz_env.h"
#include "exchange/exchange_commands.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kv::CCalcCmdBase& cmd = kv::fuzz::FuzzCommandObject();
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  kv::com::ObjectStreamContent content;
  kv::com::ReadObjectStream(bytes, &content);
  kv::com::ComPtr<kv::com::IDispatch> object = kv::exchange::BSTRtoObject(cmd, kv::com::BstrOfBytes(bytes));
  if (object) kv::exchange::ObjecttoBSTR(cmd, object.Get());
  return 0;
}
