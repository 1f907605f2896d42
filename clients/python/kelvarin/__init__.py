"""A client of the Kelvarin calculation command server over D-Bus, using dbus-python.

    import kelvarin
    with kelvarin.connect() as conn:
        cmd = conn.create("Kelvarin.CalcCommands")
        print(cmd.CalcCommandVersion())

dbus-python comes from the system (Debian: apt-get install python3-dbus); pip cannot build it
here, so the package declares no dependency on it. See doc/protocol.md for the wire protocol.
"""
try:
    import dbus  # noqa: F401
except ImportError as e:
    raise ImportError("kelvarin needs dbus-python, which pip does not install: install Debian's python3-dbus "
                      "(apt-get install python3-dbus) and use the system python3 (or a venv made with "
                      "--system-site-packages)", name="dbus") from e

from .answers import KEEPS_PREVIOUS_ERROR, NEVER_CHECKED, DATE_PARAMS  # noqa: E402
from .client import (BUS_NAME, ROOT_PATH, Connection, RemoteObject, connect, default_socket_path)  # noqa: E402
from .errors import ERROR_HRESULT, KelvarinError, parse_hresult_message  # noqa: E402
from .variant import (NULL, OleDate, SafeArray, Variant, decode_variant, encode_variant, VT_ARRAY,  # noqa: E402
                      VT_BOOL, VT_BSTR, VT_CY, VT_DATE, VT_DISPATCH, VT_EMPTY, VT_ERROR, VT_I1, VT_I2, VT_I4,
                      VT_I8, VT_INT, VT_NULL, VT_R4, VT_R8, VT_UI1, VT_UI2, VT_UI4, VT_UI8, VT_UINT, VT_UNKNOWN,
                      VT_VARIANT)

__version__ = "0.1.0"

__all__ = [
    "BUS_NAME", "ROOT_PATH", "Connection", "RemoteObject", "connect", "default_socket_path",
    "ERROR_HRESULT", "KelvarinError", "parse_hresult_message",
    "KEEPS_PREVIOUS_ERROR", "NEVER_CHECKED", "DATE_PARAMS",
    "NULL", "OleDate", "SafeArray", "Variant", "decode_variant", "encode_variant",
    "VT_ARRAY", "VT_BOOL", "VT_BSTR", "VT_CY", "VT_DATE", "VT_DISPATCH", "VT_EMPTY", "VT_ERROR", "VT_I1",
    "VT_I2", "VT_I4", "VT_I8", "VT_INT", "VT_NULL", "VT_R4", "VT_R8", "VT_UI1", "VT_UI2", "VT_UI4", "VT_UI8",
    "VT_UINT", "VT_UNKNOWN", "VT_VARIANT",
]
