"""Connections to the server and proxies for the objects it hands out.

Method signatures are read at run time from the object's introspection XML (its typed
interface, com.quorlith.Kelvarin.ICalcCommands or .ICalcAppCommands), so the client follows the
server's method tables without a copy of them.
"""
import datetime
import os
import re
import weakref
import xml.etree.ElementTree as ElementTree

import dbus

from .errors import KelvarinError, from_dbus
from .variant import NULL, NULL_PATH, OleDate, decode_variant, encode_variant

BUS_NAME = "com.quorlith.Kelvarin"
ROOT_PATH = "/com/quorlith/Kelvarin"
CLASS_FACTORY = "com.quorlith.Kelvarin.ClassFactory"
DISPATCH = "com.quorlith.Kelvarin.IDispatch"
INTROSPECTABLE = "org.freedesktop.DBus.Introspectable"
TYPED_PREFIX = "com.quorlith.Kelvarin."

DISPATCH_METHOD = 1
DISPATCH_PROPERTYGET = 2
DISPATCH_PROPERTYPUT = 4


def default_socket_path(environ=None, euid=None):
    """The server's private socket when nothing else is said, by the same rule as the server."""
    env = os.environ if environ is None else environ
    if env.get("KELVARIN_SOCKET"):
        return env["KELVARIN_SOCKET"]
    if env.get("XDG_RUNTIME_DIR"):
        return env["XDG_RUNTIME_DIR"] + "/kelvarin/bus"
    uid = os.geteuid() if euid is None else euid
    if uid == 0:
        return "/run/kelvarin/bus"
    return "/tmp/kelvarin-%d/bus" % uid


def connect(address=None, bus=None):
    """A Connection: to `address` (a socket path or a D-Bus address such as
    "unix:path=/run/kelvarin/bus"), to the "system" or "session" bus, or to the default socket."""
    return Connection(address, bus)


class _Method:
    __slots__ = ("name", "interface", "ins", "outs")

    def __init__(self, name, interface, ins, outs):
        self.name = name
        self.interface = interface
        self.ins = ins    # [(arg name, signature)] in call order
        self.outs = outs  # [(arg name, signature)] in reply order

    @property
    def in_signature(self):
        return "".join(sig for _, sig in self.ins)


def _parse_typed_interface(xml):
    """(interface name, {method name: _Method}) of the typed interface in `xml`, or (None, {})."""
    root = ElementTree.fromstring(xml)
    for iface in root.findall("interface"):
        name = iface.get("name", "")
        if not name.startswith(TYPED_PREFIX) or name in (CLASS_FACTORY, DISPATCH):
            continue
        methods = {}
        for m in iface.findall("method"):
            ins, outs = [], []
            for arg in m.findall("arg"):
                (outs if arg.get("direction") == "out" else ins).append((arg.get("name", ""), arg.get("type")))
            methods[m.get("name")] = _Method(m.get("name"), name, ins, outs)
        return name, methods
    return None, {}


class Connection:
    """One connection to the server. Objects belong to the connection that made them and go
    when it closes; use it as a context manager to close it."""

    def __init__(self, address=None, bus=None):
        if bus == "system":
            self._bus = dbus.SystemBus(private=True)
            self._dest = BUS_NAME
        elif bus == "session":
            self._bus = dbus.SessionBus(private=True)
            self._dest = BUS_NAME
        elif bus is None:
            address = address or default_socket_path()
            if not re.match(r"[a-z-]+:", address):  # a socket path rather than an address
                address = "unix:path=" + address
            self._bus = dbus.connection.Connection(address)
            self._dest = None  # peer to peer: no bus to route by name
        else:
            raise ValueError("bus must be None, 'system' or 'session'")
        self._proxies = weakref.WeakValueDictionary()
        self._interfaces = {}  # typed interface name -> methods, shared by its objects

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def close(self):
        if self._bus is not None:
            self._bus.close()
            self._bus = None

    def _call(self, path, interface, member, signature="", args=()):
        if self._bus is None:
            raise KelvarinError("org.freedesktop.DBus.Error.Disconnected", "the connection is closed")
        return self._bus.call_blocking(self._dest, path, interface, member, signature, tuple(args))

    def create(self, prog_id="Kelvarin.CalcCommands"):
        """A new command object of class `prog_id` ("Kelvarin.CalcCommands" or
        "Kelvarin.CalcAppCommands")."""
        try:
            path = self._call(ROOT_PATH, CLASS_FACTORY, "CreateInstance", "s", (prog_id,))
        except dbus.DBusException as e:
            raise from_dbus(e) from None
        return self.proxy(path)

    def proxy(self, path):
        """The proxy of an object path this connection holds (None for "/")."""
        path = str(path)
        if path == NULL_PATH:
            return None
        obj = self._proxies.get(path)
        if obj is None:
            obj = RemoteObject(self, path)
            self._proxies[path] = obj
        return obj

    def _methods_of(self, path):
        xml = self._call(path, INTROSPECTABLE, "Introspect")
        name, methods = _parse_typed_interface(str(xml))
        if name is None:
            return None, {}
        return name, self._interfaces.setdefault(name, methods)


def _to_wire(sig, value):
    """A Python value as the D-Bus value of a typed parameter of signature `sig`."""
    if sig == "(qv)":
        return encode_variant(value)
    if sig == "s":
        return dbus.String("" if value is None or value is NULL else str(value))
    if sig == "i":
        return dbus.Int32(int(value))
    if sig == "d":
        if isinstance(value, OleDate):
            return dbus.Double(value.days)
        if isinstance(value, datetime.datetime):
            return dbus.Double(OleDate.from_datetime(value).days)
        return dbus.Double(float(value))
    if sig == "b":
        return dbus.Boolean(bool(value))
    if sig == "o":
        if value is None or value is NULL:
            return dbus.ObjectPath(NULL_PATH)
        return dbus.ObjectPath(value.object_path)
    raise TypeError("unexpected parameter signature %r" % sig)


class RemoteObject:
    """A proxy for one object of the server.

    Methods of the typed interface are attributes: obj.GetCalculationList(). Arguments are
    the in-arguments of the typed interface (every In and InOut parameter in declaration order),
    by position or by name. The answer is the out-arguments: every InOut value in declaration
    order, then the retval; one value alone is returned bare, none as None, several as a tuple.
    Objects without a typed interface (calculations, libraries ...) are reached late-bound
    through invoke(), get() and put().
    """

    def __init__(self, connection, path):
        self._connection = connection
        self.object_path = path
        self._interface = None
        self._methods = None

    def __repr__(self):
        return "<kelvarin object %s>" % self.object_path

    def _load(self):
        if self._methods is None:
            try:
                self._interface, self._methods = self._connection._methods_of(self.object_path)
            except dbus.DBusException as e:
                raise from_dbus(e) from None
        return self._methods

    @property
    def interface(self):
        """The name of the typed interface, or None."""
        self._load()
        return self._interface

    def methods(self):
        """The names of the typed interface's methods."""
        return sorted(self._load())

    def signature(self, name):
        """([(in name, signature)], [(out name, signature)]) of a method."""
        m = self._load()[name]
        return list(m.ins), list(m.outs)

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        methods = self._load()
        if name not in methods:
            raise AttributeError("%s has no method %s" % (self._interface or "the object", name))
        return lambda *args, **kwargs: self.call(name, *args, **kwargs)

    def call(self, name, *args, exact=False, **kwargs):
        """Calls method `name` of the typed interface; exact=True gives VARIANT results as
        Variant(vt, value)."""
        m = self._load().get(name)
        if m is None:
            raise AttributeError("%s has no method %s" % (self._interface or "the object", name))
        values = list(args)
        if len(values) > len(m.ins):
            raise TypeError("%s takes %d arguments, %d given" % (name, len(m.ins), len(values)))
        for arg_name, _ in m.ins[len(values):]:
            if arg_name not in kwargs:
                raise TypeError("%s: missing argument %s" % (name, arg_name))
            values.append(kwargs.pop(arg_name))
        if kwargs:
            raise TypeError("%s: unknown argument %s" % (name, ", ".join(kwargs)))
        wire = [_to_wire(sig, v) for (_, sig), v in zip(m.ins, values)]
        try:
            reply = self._connection._call(self.object_path, m.interface, name, m.in_signature, wire)
        except dbus.DBusException as e:
            raise from_dbus(e, self._last_error_after_failure(name)) from None
        outs = [reply] if len(m.outs) == 1 else list(reply or ())
        decoded = tuple(self._from_wire(sig, v, exact) for (_, sig), v in zip(m.outs, outs))
        if not decoded:
            return None
        return decoded[0] if len(decoded) == 1 else decoded

    def _from_wire(self, sig, value, exact):
        if sig == "(qv)":
            return decode_variant(value, self._connection.proxy, exact)
        if sig == "s":
            return str(value)
        if sig == "i":
            return int(value)
        if sig == "d":
            return float(value)
        if sig == "b":
            return bool(value)
        if sig == "o":
            return self._connection.proxy(value)
        return value

    def _last_error_after_failure(self, failed):
        if failed == "GetLastCommandError" or "GetLastCommandError" not in (self._methods or {}):
            return None
        try:
            return self.last_error()
        except KelvarinError:
            return None

    def last_error(self):
        """(code, text) of the object's last command error; (0, "") after a success."""
        code, text = self.call("GetLastCommandError", 0)
        return code, text

    def _invoke(self, name, flags, args, exact):
        try:
            dispid = self._connection._call(self.object_path, DISPATCH, "GetIDsOfNames", "s", (name,))
            result, _ = self._connection._call(self.object_path, DISPATCH, "Invoke", "iua(qv)",
                                               (dispid, flags, dbus.Array([encode_variant(a) for a in args],
                                                                          signature="(qv)")))
        except dbus.DBusException as e:
            raise from_dbus(e) from None
        return decode_variant(result, self._connection.proxy, exact)

    def invoke(self, name, *args, exact=False):
        """Calls method `name` late-bound (IDispatch) with VARIANT arguments; the result."""
        return self._invoke(name, DISPATCH_METHOD, args, exact)

    def get(self, name, *args, exact=False):
        """Reads property `name` late-bound."""
        return self._invoke(name, DISPATCH_PROPERTYGET, args, exact)

    def put(self, name, value):
        """Writes property `name` late-bound."""
        self._invoke(name, DISPATCH_PROPERTYPUT, (value,), False)

    def release(self):
        """Lets the server drop the object now rather than when the connection closes."""
        try:
            self._connection._call(self.object_path, DISPATCH, "Release")
        except dbus.DBusException as e:
            raise from_dbus(e) from None
        self._connection._proxies.pop(self.object_path, None)
