#include "protocol/interface_xml.h"

#include "protocol/wire_names.h"

namespace kv::protocol {

namespace {

void Arg(std::string* out, const char* type, const std::string& name, const char* dir) {
  *out += "   <arg type=\"";
  *out += type;
  *out += "\" name=\"" + XmlEscape(name) + "\" direction=\"" + dir + "\"/>\n";
}

}  // namespace

std::string TypedInterfaceXml(const TypedInterface& iface) {
  std::string out = " <interface name=\"" + XmlEscape(iface.Name()) + "\">\n";
  for (const TypedMethod& m : iface.Methods()) {
    out += "  <method name=\"" + XmlEscape(m.info->name) + "\">\n";
    for (const ParamInfo& p : m.info->params)
      if (p.dir != ParamDir::Retval) Arg(&out, ParamSignature(p.type), p.name, "in");
    for (const ParamInfo& p : m.info->params)
      if (p.dir == ParamDir::InOut) Arg(&out, ParamSignature(p.type), p.name, "out");
    for (const ParamInfo& p : m.info->params)
      if (p.dir == ParamDir::Retval) Arg(&out, ParamSignature(p.type), p.name, "out");
    out += "  </method>\n";
  }
  out += " </interface>\n";
  return out;
}

const std::string& DispatchInterfaceXml() {
  static const std::string xml = std::string(" <interface name=\"") + kDispatchInterface +
                                 "\">\n"
                                 "  <method name=\"GetIDsOfNames\">\n"
                                 "   <arg type=\"s\" name=\"name\" direction=\"in\"/>\n"
                                 "   <arg type=\"i\" name=\"dispid\" direction=\"out\"/>\n"
                                 "  </method>\n"
                                 "  <method name=\"Invoke\">\n"
                                 "   <arg type=\"i\" name=\"dispid\" direction=\"in\"/>\n"
                                 "   <arg type=\"u\" name=\"flags\" direction=\"in\"/>\n"
                                 "   <arg type=\"a(qv)\" name=\"args\" direction=\"in\"/>\n"
                                 "   <arg type=\"(qv)\" name=\"result\" direction=\"out\"/>\n"
                                 "   <arg type=\"a(qv)\" name=\"byref\" direction=\"out\"/>\n"
                                 "  </method>\n"
                                 "  <method name=\"Release\"/>\n"
                                 " </interface>\n";
  return xml;
}

const std::string& ClassFactoryInterfaceXml() {
  static const std::string xml = std::string(" <interface name=\"") + kClassFactoryInterface +
                                 "\">\n"
                                 "  <method name=\"CreateInstance\">\n"
                                 "   <arg type=\"s\" name=\"class\" direction=\"in\"/>\n"
                                 "   <arg type=\"o\" name=\"object\" direction=\"out\"/>\n"
                                 "  </method>\n"
                                 " </interface>\n";
  return xml;
}

const std::string& StandardInterfacesXml() {
  static const std::string xml = std::string(" <interface name=\"") + kIntrospectableInterface +
                                 "\">\n"
                                 "  <method name=\"Introspect\">\n"
                                 "   <arg type=\"s\" name=\"xml_data\" direction=\"out\"/>\n"
                                 "  </method>\n"
                                 " </interface>\n"
                                 " <interface name=\"" +
                                 kPeerInterface +
                                 "\">\n"
                                 "  <method name=\"Ping\"/>\n"
                                 "  <method name=\"GetMachineId\">\n"
                                 "   <arg type=\"s\" name=\"machine_uuid\" direction=\"out\"/>\n"
                                 "  </method>\n"
                                 " </interface>\n";
  return xml;
}

std::string NodeXml(const std::vector<const std::string*>& interfaces, const std::vector<std::string>& children) {
  std::string out =
      "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
      " \"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n"
      "<node>\n";
  for (const std::string* i : interfaces) out += *i;
  for (const std::string& c : children) out += " <node name=\"" + XmlEscape(c) + "\"/>\n";
  out += "</node>\n";
  return out;
}

}  // namespace kv::protocol
