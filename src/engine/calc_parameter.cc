#include "engine/calc_parameter.h"

#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <sstream>

#include "engine/calc_environment.h"
#include "engine/server_context.h"
#include "engine/unit_conversion.h"

namespace kv::engine {
namespace {

bool SameServer(const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

Variant LooseValue(const std::string& text) {
  if (text.empty()) return Variant();
  char* end = nullptr;
  errno = 0;
  const long long n = std::strtoll(text.c_str(), &end, 10);
  if (*end == '\0' && errno == 0 && n >= INT32_MIN && n <= INT32_MAX) return Variant::I4(static_cast<int32_t>(n));
  errno = 0;
  const double d = std::strtod(text.c_str(), &end);
  if (*end == '\0' && errno == 0 && !std::isspace(static_cast<unsigned char>(text[0]))) return Variant::R8(d);
  return Variant::Str(text);
}

}  // namespace

CalcParameter::CalcParameter() = default;

void CalcParameter::DescribeMembers(PropertyTable& props) {
  ParameterFields::Visit(f_, props);
  props.Custom(
      "Value", [this] { return Value(); }, com::VT_VARIANT,
      [this](const Variant& v) { return SetValue(v) ? com::S_OK : com::DISP_E_TYPEMISMATCH; });
  // Late-bound callers find the unit check by this name (Validate2 asks the first parameter for
  // it): Validate2(CheckUnits) gives the message, empty when the parameter is valid.
  props.Method("Validate2", [this](std::vector<Variant>& args, Variant* result) {
    Variant check;
    const long checkUnits =
        !args.empty() && com::SUCCEEDED(com::ChangeType(args[0], com::VT_BOOL, &check)) && check.boolVal() ? -1 : 0;
    Bstr message;
    const HRESULT hr = ValidateParameterUnits(checkUnits, &message);
    if (result) *result = Variant::Str(message.ToUtf8());
    return hr;
  });
}

CalcParameter::CalcParameter(std::string name, Variant value, std::string units) : CalcParameter() {
  f_.name = std::move(name);
  f_.units = std::move(units);
  SetValue(value);
}

CalcParameter::CalcParameter(ParameterFields fields, Variant value) : CalcParameter() {
  f_ = std::move(fields);
  SetValue(value);
}

std::string CalcParameter::Name() const { return Locked([&] { return f_.name; }); }
Variant CalcParameter::Value() const { return Locked([&] { return value_; }); }
std::string CalcParameter::Units() const { return Locked([&] { return f_.units; }); }
ParameterFields CalcParameter::Fields() const { return Locked([&] { return f_; }); }

void CalcParameter::Snapshot(ParameterFields* fields, Variant* value, uint32_t* edits, uint32_t* samples) const {
  std::lock_guard lock(mu_);
  *fields = f_;
  *value = value_;
  *edits = Edits();
  *samples = Samples();
}

bool CalcParameter::SetValue(const Variant& value) {
  const Variant& v = value.Deref();
  if (!IsStorableValue(v)) return false;
  Locked([&] {
    samples_.fetch_add(1, std::memory_order_relaxed);
    value_ = v;
  });
  return true;
}

bool CalcParameter::SetSample(const Variant& value, int32_t quality, double timestamp) {
  const Variant& v = value.Deref();
  if (!IsStorableValue(v)) return false;
  Locked([&] {
    samples_.fetch_add(1, std::memory_order_relaxed);
    value_ = v;
    f_.quality = quality;
    f_.timestamp = timestamp;
  });
  return true;
}

void CalcParameter::SetFields(const ParameterFields& fields) {
  Edit([&] { f_ = fields; });
}

bool CalcParameter::IsInput() const {
  const int32_t d = Locked([&] { return f_.direction; });
  return d != components::kParamOut;
}

bool CalcParameter::IsOutput() const {
  const int32_t d = Locked([&] { return f_.direction; });
  return d == components::kParamOut || d == components::kParamInOut;
}

HRESULT CalcParameter::GetServerName(Bstr* server) { return ReadField(f_, &ParameterFields::serverName, server); }
HRESULT CalcParameter::GetName(Bstr* name) { return ReadField(f_, &ParameterFields::name, name); }
HRESULT CalcParameter::GetTagName(Bstr* tag) { return ReadField(f_, &ParameterFields::tagName, tag); }
HRESULT CalcParameter::GetCalcName(Bstr* calc) { return ReadField(f_, &ParameterFields::calcName, calc); }
HRESULT CalcParameter::GetUnits(Bstr* units) { return ReadField(f_, &ParameterFields::units, units); }
HRESULT CalcParameter::GetParameterKind(long* kind) { return ReadField(f_, &ParameterFields::kind, kind); }
HRESULT CalcParameter::GetDirection(long* direction) { return ReadField(f_, &ParameterFields::direction, direction); }

HRESULT CalcParameter::ChangeServer(const Bstr& oldServer, long, const Bstr& newServer, long) {
  const std::string from = oldServer.ToUtf8(), to = newServer.ToUtf8();
  return Edit([&] {
    if (f_.kind != components::kParamTag || !SameServer(f_.serverName, from)) return com::E_FAIL;
    f_.serverName = to;
    return com::S_OK;
  });
}

HRESULT CalcParameter::ValidateParameter(Bstr* message) { return ValidateParameterUnits(0, message); }

HRESULT CalcParameter::ValidateParameterUnits(long checkUnits, Bstr* message) {
  if (!message) return com::E_POINTER;
  *message = Bstr();
  const ParameterFields f = Fields();
  std::string reason;
  components::IServerObjects* objects = ServerObjects();
  com::ComPtr<components::IZrCalcEnvironment> env = objects ? objects->Environment() : nullptr;
  auto* own = dynamic_cast<ZrCalcEnvironment*>(env.Get());
  switch (f.kind) {
    case components::kParamConstant:
      break;
    case components::kParamTag: {
      std::shared_ptr<tags::TagSource> tags = own ? own->Tags() : nullptr;
      tags::TagSample sample;
      if (f.serverName.empty()) reason = "Parameter " + f.name + ": no server name";
      else if (f.tagName.empty()) reason = "Parameter " + f.name + ": no tag name";
      else if (!tags) reason = "Parameter " + f.name + ": no tag store";
      else if (!tags->Exists(f.serverName, f.tagName))
        reason = "Parameter " + f.name + ": tag " + f.serverName + "/" + f.tagName + " does not exist";
      else if (checkUnits != 0 && !f.units.empty()) {
        com::ComPtr<com::IDispatch> units = own->UnitConversionObject();
        UnitConversion c;
        std::string error;
        if (!UnitExists(units.Get(), f.units))
          reason = "Parameter " + f.name + ": units " + f.units + " are not in the units table";
        else if (tags->Read(f.serverName, f.tagName, &sample) == tags::TagStatus::kOk &&
                 !FindConversion(units.Get(), sample.units, f.units, &c, &error))
          reason = "Parameter " + f.name + ": units " + f.units + " do not convert to the tag's units " + sample.units;
      }
      break;
    }
    case components::kParamCalculation: {
      com::ComPtr<com::IDispatch> calc;
      if (f.calcName.empty()) reason = "Parameter " + f.name + ": no calculation name";
      else if (env) env->GetCalculation(Bstr::FromUtf8(f.calcName), Bstr(), &calc);
      if (reason.empty() && !calc) reason = "Parameter " + f.name + ": calculation " + f.calcName + " not found";
      break;
    }
    default:
      reason = "Parameter " + f.name + ": unknown kind " + std::to_string(f.kind);
  }
  if (!reason.empty()) *message = Bstr::FromUtf8(reason);
  return com::S_OK;
}

HRESULT CalcParameter::LoadXML(const Bstr& xml) {
  pugi::xml_document doc;
  const std::string text = xml.ToUtf8();
  if (!doc.load_buffer(text.data(), text.size())) return com::E_INVALIDARG;
  UnescapeMarkedText(doc);
  pugi::xml_node node = doc.document_element();
  ParameterFields f = Fields();
  Variant value = Value();
  XmlError err;
  FieldReader r(node, &err);
  const std::string oldName = f.name;
  // An element without a name keeps this parameter's.
  if (!node.child("Name")) node.append_child("Name").text().set(oldName.c_str());
  ParameterFields::Visit(f, r);
  pugi::xml_node v = node.child("Value");
  if (v && !v.attribute("type")) {
    // A value written by hand carries no type: a whole number, a real, or else text.
    value = LooseValue(v.text().get());
  } else {
    r.Value("Value", &value);
  }
  if (!r.Ok()) return com::E_INVALIDARG;
  if (f.name.empty()) f.name = oldName;
  Edit([&] {
    samples_.fetch_add(1, std::memory_order_relaxed);
    f_ = std::move(f);
    value_ = std::move(value);
  });
  return com::S_OK;
}

HRESULT CalcParameter::SaveXML(Bstr* xml) {
  if (!xml) return com::E_POINTER;
  pugi::xml_document doc;
  WriteTo(doc);
  EscapeUncarriedText(doc);
  std::ostringstream out;
  doc.document_element().print(out, "", pugi::format_raw);
  *xml = Bstr::FromUtf8(out.str());
  return com::S_OK;
}

void CalcParameter::WriteTo(pugi::xml_node parent) const {
  pugi::xml_node node = parent.append_child("Parameter");
  ParameterFields f;
  Variant value;
  Locked([&] {
    f = f_;
    value = value_;
  });
  WriteFields(node, f);
  WriteValue(node, "Value", value);
}

com::ComPtr<CalcParameter> CalcParameter::ReadFrom(pugi::xml_node node, XmlError* err) {
  ParameterFields f;
  Variant value;
  FieldReader r(node, err);
  ParameterFields::Visit(f, r);
  r.Value("Value", &value, kFieldRequired);
  if (!r.Ok()) return nullptr;
  return com::MakeCom<CalcParameter>(std::move(f), std::move(value));
}

}  // namespace kv::engine
