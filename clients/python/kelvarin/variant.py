"""VARIANT values on the wire: a D-Bus struct (qv) holding the VARTYPE and the value.

Python values map to VARTYPEs as follows when sent:
  None -> VT_EMPTY, NULL -> VT_NULL, bool -> VT_BOOL, int -> VT_I4 (VT_I8 / VT_UI8 when it
  does not fit), float -> VT_R8, str -> VT_BSTR, datetime, OleDate or timedelta (a span) ->
  VT_DATE, a proxy object -> VT_DISPATCH, SafeArray -> VT_ARRAY | its element type, list or tuple ->
  VT_ARRAY | VT_VARIANT with lower bound 0, Variant(vt, value) -> exactly vt.
Received values come back the same way (VT_EMPTY as None, VT_NULL as NULL, the other integer
types as int, VT_R4 and VT_CY as float, VT_DATE as datetime (timedelta where the value is a
span, OleDate when no datetime holds it), arrays as SafeArray, objects as proxies or None for
"/"). Decode with exact=True to get every value as Variant(vt, value), dates as OleDate.
"""
import datetime

import dbus

from .answers import datetime_to_ole, ole_to_datetime, span_to_timedelta, timedelta_to_days

VT_EMPTY = 0
VT_NULL = 1
VT_I2 = 2
VT_I4 = 3
VT_R4 = 4
VT_R8 = 5
VT_CY = 6
VT_DATE = 7
VT_BSTR = 8
VT_DISPATCH = 9
VT_ERROR = 10
VT_BOOL = 11
VT_VARIANT = 12
VT_UNKNOWN = 13
VT_I1 = 16
VT_UI1 = 17
VT_UI2 = 18
VT_UI4 = 19
VT_I8 = 20
VT_UI8 = 21
VT_INT = 22
VT_UINT = 23
VT_ARRAY = 0x2000
VT_TYPEMASK = 0x0FFF

# The server refuses deeper nesting; refusing here gives a clearer error.
MAX_ARRAY_DEPTH = 8

NULL_PATH = "/"


class _Null:
    """VT_NULL: the distinct "no value" (None is VT_EMPTY)."""

    _instance = None

    def __new__(cls):
        if cls._instance is None:
            cls._instance = super().__new__(cls)
        return cls._instance

    def __repr__(self):
        return "NULL"

    def __bool__(self):
        return False


NULL = _Null()


class OleDate:
    """A VT_DATE: days since 1899-12-30 00:00, the fraction being the time of day."""

    __slots__ = ("days",)

    def __init__(self, days):
        self.days = float(days)

    @classmethod
    def from_datetime(cls, dt):
        # Dates before the epoch count the time of day forwards from a negative whole day, so
        # 1899-12-29 06:00 is -1.25, not -0.75.
        return cls(datetime_to_ole(dt))

    def to_datetime(self):
        """The datetime, rounded to the millisecond (the double cannot hold microseconds exactly);
        ValueError when no datetime holds the date."""
        dt = ole_to_datetime(self.days)
        if dt is None:
            raise ValueError("OLE date %r is outside what datetime holds" % self.days)
        return dt

    def __float__(self):
        return self.days

    def __eq__(self, other):
        return isinstance(other, OleDate) and other.days == self.days

    def __hash__(self):
        return hash(("OleDate", self.days))

    def __repr__(self):
        return "OleDate(%r)" % self.days


class SafeArray:
    """A VT_ARRAY: its elements, the lower bound of its index and its element VARTYPE.

    `vt` is the element type; VT_VARIANT (the default) lets every element have its own type.
    Index with the array's own bounds through at(); len() and iteration see the elements.
    """

    def __init__(self, items=(), lower=0, vt=VT_VARIANT):
        self.items = list(items)
        self.lower = int(lower)
        self.vt = int(vt)

    def at(self, index):
        if not self.lower <= index < self.lower + len(self.items):
            raise IndexError("index %d outside %d..%d" % (index, self.lower, self.lower + len(self.items) - 1))
        return self.items[index - self.lower]

    def __len__(self):
        return len(self.items)

    def __iter__(self):
        return iter(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __eq__(self, other):
        return (isinstance(other, SafeArray) and other.lower == self.lower and other.vt == self.vt
                and other.items == self.items)

    def __repr__(self):
        return "SafeArray(%r, lower=%d, vt=%d)" % (self.items, self.lower, self.vt)


class Variant:
    """A value with its VARTYPE stated, for types a plain Python value does not choose."""

    __slots__ = ("vt", "value")

    def __init__(self, vt, value=None):
        self.vt = int(vt)
        self.value = value

    def __eq__(self, other):
        return isinstance(other, Variant) and other.vt == self.vt and other.value == self.value

    def __hash__(self):
        return hash((self.vt, repr(self.value)))

    def __repr__(self):
        return "Variant(%d, %r)" % (self.vt, self.value)


def _wire(vt, value, paths):
    """The D-Bus value of a scalar `vt` (variant_level 1, as it sits inside the v)."""
    if vt in (VT_EMPTY, VT_NULL):
        return dbus.Byte(0, variant_level=1)
    if vt in (VT_I1, VT_I2):
        if vt == VT_I1 and not -128 <= int(value) <= 127:
            raise ValueError("VT_I1 value %r outside -128..127" % value)
        return dbus.Int16(int(value), variant_level=1)
    if vt in (VT_I4, VT_INT, VT_ERROR):
        return dbus.Int32(int(value), variant_level=1)
    if vt == VT_UI1:
        return dbus.Byte(int(value), variant_level=1)
    if vt == VT_UI2:
        return dbus.UInt16(int(value), variant_level=1)
    if vt in (VT_UI4, VT_UINT):
        return dbus.UInt32(int(value), variant_level=1)
    if vt == VT_I8:
        return dbus.Int64(int(value), variant_level=1)
    if vt == VT_UI8:
        return dbus.UInt64(int(value), variant_level=1)
    if vt in (VT_R4, VT_R8, VT_DATE, VT_CY):
        if isinstance(value, datetime.datetime):
            value = datetime_to_ole(value)
        elif isinstance(value, datetime.timedelta):
            value = timedelta_to_days(value)
        return dbus.Double(float(value), variant_level=1)
    if vt == VT_BOOL:
        return dbus.Boolean(bool(value), variant_level=1)
    if vt == VT_BSTR:
        return dbus.String("" if value is None else str(value), variant_level=1)
    if vt in (VT_DISPATCH, VT_UNKNOWN):
        return dbus.ObjectPath(paths(value), variant_level=1)
    raise ValueError("VARTYPE %d does not travel" % vt)


def _object_path(value):
    if value is None or value is NULL:
        return NULL_PATH
    path = getattr(value, "object_path", None)
    if path is None:
        raise TypeError("not a Kelvarin object: %r" % (value,))
    return str(path)


def _array(arr, depth):
    if depth >= MAX_ARRAY_DEPTH:
        raise ValueError("arrays nested deeper than %d" % MAX_ARRAY_DEPTH)
    elements = []
    for item in arr.items:
        if arr.vt == VT_VARIANT:
            elements.append(_encode(item, depth + 1))
        else:
            value = item.value if isinstance(item, Variant) else item
            elements.append(dbus.Struct((dbus.UInt16(arr.vt), _wire(arr.vt, value, _object_path)),
                                        signature="qv"))
    return dbus.Struct((dbus.Int32(arr.lower), dbus.Array(elements, signature="(qv)")), signature="ia(qv)",
                       variant_level=1)


def _encode(value, depth=0):
    if isinstance(value, Variant):
        vt, value = value.vt, value.value
        if vt & VT_ARRAY:
            arr = value if isinstance(value, SafeArray) else SafeArray(value, 0, vt & VT_TYPEMASK)
            arr = SafeArray(arr.items, arr.lower, vt & VT_TYPEMASK)
            return dbus.Struct((dbus.UInt16(vt), _array(arr, depth)), signature="qv")
    elif isinstance(value, SafeArray):
        return dbus.Struct((dbus.UInt16(VT_ARRAY | value.vt), _array(value, depth)), signature="qv")
    elif isinstance(value, (list, tuple)):
        arr = SafeArray(value)
        return dbus.Struct((dbus.UInt16(VT_ARRAY | VT_VARIANT), _array(arr, depth)), signature="qv")
    else:
        vt = _vartype_of(value)
    return dbus.Struct((dbus.UInt16(vt), _wire(vt, value, _object_path)), signature="qv")


def _vartype_of(value):
    if value is None:
        return VT_EMPTY
    if value is NULL:
        return VT_NULL
    if isinstance(value, bool):
        return VT_BOOL
    if isinstance(value, int):
        if -2**31 <= value < 2**31:
            return VT_I4
        if -2**63 <= value < 2**63:
            return VT_I8
        if 0 <= value < 2**64:
            return VT_UI8
        raise OverflowError("integer %d does not fit 64 bits" % value)
    if isinstance(value, float):
        return VT_R8
    if isinstance(value, str):
        return VT_BSTR
    if isinstance(value, (OleDate, datetime.datetime, datetime.timedelta)):
        return VT_DATE
    if getattr(value, "object_path", None) is not None:
        return VT_DISPATCH
    raise TypeError("no VARTYPE for %r" % (value,))


def encode_variant(value):
    """The (qv) struct for a Python value (see the module's table)."""
    return _encode(value)


def decode_date(days, span=False):
    """A received date: datetime, or timedelta for a span; OleDate when neither holds it."""
    plain = span_to_timedelta(days) if span else ole_to_datetime(days)
    return OleDate(days) if plain is None else plain


def _decode_object(path, make_object):
    path = str(path)
    if path == NULL_PATH:
        return None
    return make_object(path) if make_object else path


# Arrays of one element type decode without a generic step per element: each element's value
# is converted straight from the wire (a string array of 100,000 names is one list comprehension).
_DIRECT = {
    VT_BSTR: str,
    VT_BOOL: bool,
    VT_R4: float, VT_R8: float, VT_CY: float,
    VT_I1: int, VT_I2: int, VT_I4: int, VT_INT: int, VT_ERROR: int, VT_UI1: int, VT_UI2: int,
    VT_UI4: int, VT_UINT: int, VT_I8: int, VT_UI8: int,
}


def _decode_elements(elvt, elements, make_object, span):
    convert = _DIRECT.get(elvt)
    if convert is not None:
        return [convert(e[1]) for e in elements]
    if elvt == VT_DATE:
        return [decode_date(float(e[1]), span) for e in elements]
    if elvt in (VT_DISPATCH, VT_UNKNOWN):
        return [_decode_object(e[1], make_object) for e in elements]
    return None


def decode_variant(struct, make_object=None, exact=False, depth=0, span=False):
    """The Python value of a received (qv); `make_object(path)` turns a path into a proxy, and
    `span` says a VT_DATE is a length of time."""
    vt, value = int(struct[0]), struct[1]
    if vt & VT_ARRAY:
        if depth >= MAX_ARRAY_DEPTH:
            raise ValueError("arrays nested deeper than %d" % MAX_ARRAY_DEPTH)
        lower, elements = int(value[0]), value[1]
        elvt = vt & VT_TYPEMASK
        items = None
        # Every element of a typed array carries the array's type (the server's codec writes it
        # so); the first is checked as a guard against another sender.
        if not exact and elvt != VT_VARIANT and all(int(e[0]) == elvt for e in elements[:1]):
            items = _decode_elements(elvt, elements, make_object, span)
        if items is None:
            items = [decode_variant(e, make_object, exact, depth + 1, span) for e in elements]
        arr = SafeArray(items, lower, elvt)
        return Variant(vt, arr) if exact else arr
    if vt == VT_EMPTY:
        plain = None
    elif vt == VT_NULL:
        plain = NULL
    elif vt == VT_BOOL:
        plain = bool(value)
    elif vt == VT_BSTR:
        plain = str(value)
    elif vt == VT_DATE:
        plain = OleDate(float(value)) if exact else decode_date(float(value), span)
    elif vt in (VT_R4, VT_R8, VT_CY):
        plain = float(value)
    elif vt in (VT_DISPATCH, VT_UNKNOWN):
        plain = _decode_object(value, make_object)
    else:
        plain = int(value)
    return Variant(vt, plain) if exact else plain
