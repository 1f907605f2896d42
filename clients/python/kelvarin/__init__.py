"""A client of the Kelvarin calculation command server over D-Bus, using dbus-python.

    import kelvarin
    with kelvarin.connect() as conn:
        cmd = conn.create("Kelvarin.CalcCommands")
        print(cmd.CalcCommandVersion())

See doc/protocol.md for the wire protocol underneath.
"""
from .client import (BUS_NAME, ROOT_PATH, Connection, RemoteObject, connect, default_socket_path)
from .errors import ERROR_HRESULT, KelvarinError, parse_hresult_message
from .variant import (NULL, OleDate, SafeArray, Variant, decode_variant, encode_variant, VT_ARRAY, VT_BOOL,
                      VT_BSTR, VT_CY, VT_DATE, VT_DISPATCH, VT_EMPTY, VT_ERROR, VT_I1, VT_I2, VT_I4, VT_I8,
                      VT_INT, VT_NULL, VT_R4, VT_R8, VT_UI1, VT_UI2, VT_UI4, VT_UI8, VT_UINT, VT_UNKNOWN,
                      VT_VARIANT)

__all__ = [
    "BUS_NAME", "ROOT_PATH", "Connection", "RemoteObject", "connect", "default_socket_path",
    "ERROR_HRESULT", "KelvarinError", "parse_hresult_message",
    "NULL", "OleDate", "SafeArray", "Variant", "decode_variant", "encode_variant",
    "VT_ARRAY", "VT_BOOL", "VT_BSTR", "VT_CY", "VT_DATE", "VT_DISPATCH", "VT_EMPTY", "VT_ERROR", "VT_I1",
    "VT_I2", "VT_I4", "VT_I8", "VT_INT", "VT_NULL", "VT_R4", "VT_R8", "VT_UI1", "VT_UI2", "VT_UI4", "VT_UI8",
    "VT_UINT", "VT_UNKNOWN", "VT_VARIANT",
]
