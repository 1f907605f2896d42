// Any text into a fresh calculation through the import steps: a reply or nothing, never a fault.
#include <cstddef>
#include <cstdint>

#include "com/class_registry.h"
#include "fuzz_env.h"
#include "exchange/exchange_commands.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kv::CCalcCmdBase& cmd = kv::fuzz::FuzzCommandObject();
  kv::com::ComPtr<kv::com::IDispatch> calc;
  if (kv::com::FAILED(kv::com::CreateInstance(kv::components::CLSID_ZrCalculation, &calc))) return 0;
  const kv::com::Bstr text = kv::com::Bstr::FromUtf8(std::string_view(reinterpret_cast<const char*>(data), size));
  const kv::com::Bstr reply = kv::exchange::LoadXmlIntoCalc(cmd, text, calc.Get());
  // A loaded object exports again.
  if (reply.IsNull()) kv::exchange::ObjectToXml(cmd, calc.Get());
  return 0;
}
