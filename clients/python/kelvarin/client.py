"""Connections to the server and proxies for the objects it hands out.

Method signatures are read at run time from the object's introspection XML (its typed
interface, com.quorlith.Kelvarin.ICalcCommands or .ICalcAppCommands), so the client follows the
server's method tables without a copy of them; answers.py holds the little the XML does not say.
"""
import datetime
import os
import re
import weakref
import xml.etree.ElementTree as ElementTree

import dbus

from . import answers
from .answers import RETVAL
from .errors import KelvarinError, failure, from_dbus
from .variant import NULL, NULL_PATH, OleDate, decode_date, decode_variant, encode_variant

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


def connect(address=None, bus=None, check=True):
    """A Connection: to `address` (a socket path or a D-Bus address such as
    "unix:path=/run/kelvarin/bus"), to the "system" or "session" bus, or to the default socket.
    check=False keeps every command's raw answer instead of raising on failure answers."""
    return Connection(address, bus, check)


class _Method:
    __slots__ = ("name", "interface", "ins", "outs", "in_signature", "in_out", "retval_sig", "dates")

    def __init__(self, name, interface, ins, outs):
        self.name = name
        self.interface = interface
        self.ins = ins    # [(arg name, signature)] in call order
        self.outs = outs  # [(arg name, signature)] in reply order: the in/out values, then the retval
        self.in_signature = "".join(sig for _, sig in ins)
        in_names = {n for n, _ in ins}
        self.in_out = frozenset(n for n, _ in outs if n in in_names)
        self.retval_sig = outs[-1][1] if outs and outs[-1][0] not in in_names else None
        # (is a date, is a span) of each out, by position; the retval is named RETVAL here.
        self.dates = [self._date_kind(n if n in in_names else RETVAL) for n, _ in outs]

    def _date_kind(self, param):
        return answers.is_date(self.name, param), answers.is_span(self.name, param)

    def in_date_kind(self, param):
        return self._date_kind(param)


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

    def __init__(self, address=None, bus=None, check=True):
        self.check = bool(check)  # the default of every call's check
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
            raise failure("org.freedesktop.DBus.Error.Disconnected", "the connection is closed")
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


# What an in/out parameter left out sends: the neutral value of its type.
_NEUTRAL = {"s": "", "i": 0, "d": 0.0, "b": False, "o": None, "(qv)": None}


def _days(value, param, span):
    if isinstance(value, datetime.timedelta):
        if not span:
            raise TypeError("%s takes no timedelta: only spans (a *Rate or *Offset parameter) do" % param)
        return answers.timedelta_to_days(value)
    if isinstance(value, datetime.datetime):
        return OleDate.from_datetime(value).days
    if isinstance(value, OleDate):
        return value.days
    return float(value)


def _to_wire(sig, value, param="", date=False, span=False):
    """A Python value as the D-Bus value of a typed parameter of signature `sig`."""
    if sig == "(qv)":
        return encode_variant(value)
    if sig == "s":
        return dbus.String("" if value is None or value is NULL else str(value))
    if sig == "i":
        return dbus.Int32(int(value))
    if sig == "d":
        return dbus.Double(_days(value, param, span))
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
    by position or by name; in/out parameters may be left out (they then send 0, "", False,
    VT_EMPTY or no object). The answer is the out-arguments: every InOut value in declaration
    order, then the retval; one value alone is returned bare, none as None, several as a tuple.
    A failure answer raises KelvarinError unless check=False (see answers.py for the rule).
    Objects without a typed interface (calculations, libraries ...) are reached late-bound
    through invoke(), get() and put().
    """

    def __init__(self, connection, path):
        self._connection = connection
        self.object_path = path
        self._interface = None
        self._methods = None
        self._dispids = {}  # name -> DISPID: a name keeps its DISPID for the object's life

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

    def _arguments(self, m, args, kwargs):
        values = list(args)
        if len(values) > len(m.ins):
            raise TypeError("%s takes %d arguments, %d given" % (m.name, len(m.ins), len(values)))
        for arg_name, sig in m.ins[len(values):]:
            if arg_name in kwargs:
                values.append(kwargs.pop(arg_name))
            elif arg_name in m.in_out:
                values.append(_NEUTRAL[sig])
            else:
                raise TypeError("%s: missing argument %s" % (m.name, arg_name))
        if kwargs:
            raise TypeError("%s: unknown argument %s" % (m.name, ", ".join(kwargs)))
        return [_to_wire(sig, v, arg_name, *m.in_date_kind(arg_name)) for (arg_name, sig), v in zip(m.ins, values)]

    def call(self, name, *args, exact=False, check=None, **kwargs):
        """Calls method `name` of the typed interface; exact=True gives VARIANT results as
        Variant(vt, value); check=False (default: the connection's) returns failure answers
        instead of raising."""
        m = self._load().get(name)
        if m is None:
            raise AttributeError("%s has no method %s" % (self._interface or "the object", name))
        wire = self._arguments(m, args, kwargs)
        if check is None:
            check = self._connection.check
        judged = check and m.retval_sig is not None and name not in answers.NEVER_CHECKED
        before = 0
        if judged and name in answers.KEEPS_PREVIOUS_ERROR and m.retval_sig in ("s", "(qv)"):
            # Only an empty string or VARIANT is judged by the error: this row keeps an earlier
            # one, so the error from before the call tells its own apart.
            before = (self._fetch_last_error() or (0, ""))[0]
        try:
            reply = self._connection._call(self.object_path, m.interface, name, m.in_signature, wire)
        except dbus.DBusException as e:
            raise from_dbus(e, self._last_error_after_failure(name), name) from None
        outs = [reply] if len(m.outs) == 1 else list(reply or ())
        decoded = tuple(self._from_wire(sig, v, exact, kind) for (_, sig), v, kind in zip(m.outs, outs, m.dates))
        answer = None if not decoded else decoded[0] if len(decoded) == 1 else decoded
        if judged and outs and answers.is_failure_answer(m.retval_sig, outs[-1]):
            last = self._fetch_last_error()
            verdict = answers.judge(name, m.retval_sig, last[0] if last else None, before)
            if verdict == answers.FAILURE:
                if last is None:
                    raise KelvarinError(None, "the call failed and its error could not be fetched", method=name,
                                        answer=answer)
                raise KelvarinError(last[0], last[1], method=name, answer=answer, last_error=last)
        return answer

    def _from_wire(self, sig, value, exact, kind):
        date, span = kind
        if sig == "(qv)":
            return decode_variant(value, self._connection.proxy, exact, span=span)
        if sig == "s":
            return str(value)
        if sig == "i":
            return int(value)
        if sig == "d":
            return decode_date(float(value), span) if date and not exact else float(value)
        if sig == "b":
            return bool(value)
        if sig == "o":
            return self._connection.proxy(value)
        return value

    def _fetch_last_error(self):
        """(code, text) of the object's last command error, or None when it cannot be read."""
        if "GetLastCommandError" not in (self._methods or {}):
            return None
        try:
            code, text = self._connection._call(self.object_path, self._methods["GetLastCommandError"].interface,
                                                "GetLastCommandError", "i", (dbus.Int32(0),))
        except dbus.DBusException:
            return None
        return int(code), str(text)

    def _last_error_after_failure(self, failed):
        if failed == "GetLastCommandError":
            return None
        return self._fetch_last_error()

    def last_error(self):
        """(code, text) of the object's last command error; (0, "") after a success."""
        code, text = self.call("GetLastCommandError")
        return code, text

    def _dispid(self, name):
        dispid = self._dispids.get(name)
        if dispid is None:
            dispid = int(self._connection._call(self.object_path, DISPATCH, "GetIDsOfNames", "s", (name,)))
            self._dispids[name] = dispid
        return dispid

    def _invoke(self, name, flags, args, exact, span=False):
        try:
            dispid = self._dispid(name)
            result, _ = self._connection._call(self.object_path, DISPATCH, "Invoke", "iua(qv)",
                                               (dispid, flags, dbus.Array([encode_variant(a) for a in args],
                                                                          signature="(qv)")))
        except dbus.DBusException as e:
            raise from_dbus(e, method=name) from None
        return decode_variant(result, self._connection.proxy, exact, span=span)

    def invoke(self, name, *args, exact=False):
        """Calls method `name` late-bound (IDispatch) with VARIANT arguments; the result, as the
        server answered it (late-bound answers are not judged)."""
        return self._invoke(name, DISPATCH_METHOD, args, exact)

    def get(self, name, *args, exact=False):
        """Reads property `name` late-bound; a date of a *Rate or *Offset property is a timedelta."""
        return self._invoke(name, DISPATCH_PROPERTYGET, args, exact, answers.is_span(None, name))

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
