#pragma once
// D-Bus introspection XML, generated from the method tables and the fixed interfaces the
// server answers. Pure functions; thread-safe.
#include <string>
#include <vector>

#include "base/xml_escape.h"
#include "protocol/typed_interface.h"

namespace kv::protocol {

// <interface> elements, each ending in a newline.
std::string TypedInterfaceXml(const TypedInterface& iface);  // every method with argument names
const std::string& DispatchInterfaceXml();       // com.quorlith.Kelvarin.IDispatch
const std::string& ClassFactoryInterfaceXml();   // com.quorlith.Kelvarin.ClassFactory
const std::string& StandardInterfacesXml();      // org.freedesktop.DBus.Introspectable and .Peer

// A whole document: the DOCTYPE line, <node> with the given interface elements and one
// <node name="..."/> per child.
std::string NodeXml(const std::vector<const std::string*>& interfaces, const std::vector<std::string>& children);

// The escaper of base/xml_escape.h, under the name the writers of service files call it by.
using kv::XmlEscape;

}  // namespace kv::protocol
