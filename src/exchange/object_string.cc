// Objects to and from object strings (com/object_stream.h). An object's stream persistence is its
// XML form, the same text its file holds, so one format serves files, XML exchange and strings.
#include "com/class_registry.h"
#include "com/object_stream.h"
#include "command_object/calc_cmd_base.h"
#include "components/calc_components.h"
#include "exchange/exchange_commands.h"
#include "exchange/xml_text.h"

namespace kv::exchange {

Bstr ObjecttoBSTR(CCalcCmdBase& cmd, IDispatch* object) {
  com::CLSID clsid;
  Bstr xml;
  auto persist = com::QueryInterface<components::IZrPersistXML>(object);
  const bool persisted = object == nullptr ||
                         (persist && com::ClassRegistry::Instance().ClassOf(object, &clsid) &&
                          com::SUCCEEDED(persist->SaveXML(&xml)));
  // A null object travels as CLSID_NULL; one that cannot be persisted as its VARTYPE alone.
  return com::BstrOfBytes(com::WriteObjectStream(persisted ? &clsid : nullptr, xml.Wide()));
}

ComPtr<IDispatch> BSTRtoObject(CCalcCmdBase& cmd, const Bstr& binaryObject) {
  com::ObjectStreamContent content;
  if (com::ReadObjectStream(com::BytesOfBstr(binaryObject), &content) != com::S_OK) return nullptr;
  if ((content.vt != com::VT_DISPATCH && content.vt != com::VT_UNKNOWN) || !content.hasClass) return nullptr;
  ComPtr<com::IUnknown> object;
  if (com::FAILED(com::ClassRegistry::Instance().Create(content.clsid, &object))) return nullptr;
  auto persist = com::QueryInterface<components::IZrPersistXML>(object);
  if (!persist) return nullptr;
  // The XML inside is a client's text like any other: checked before the object reads it.
  Bstr xml(std::move(content.objectData));
  ParsedXml parsed;
  ParseClientXml(xml, &parsed);
  if (!parsed.ok || com::FAILED(persist->LoadXML(xml))) return nullptr;
  return com::QueryInterface<IDispatch>(object);
}

ComPtr<IDispatch> VarBSTRtoObject(CCalcCmdBase& cmd, const Variant& binaryObject) {
  const Variant& v = binaryObject.Deref();
  if (v.vt() != com::VT_BSTR) return nullptr;
  return BSTRtoObject(cmd, v.bstr());
}

}  // namespace kv::exchange
