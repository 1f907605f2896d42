"""Failures of calls, as the server reports them."""
ERROR_HRESULT = "com.quorlith.Kelvarin.Error.HRESULT"


class KelvarinError(Exception):
    """A call that failed.

    dbus_name: the D-Bus error name; hresult: the failed status (an int such as 0x800401F3) or
    None when the error is not an HRESULT; name and text: its symbolic name and text as the
    server gave them ("CO_E_CLASSSTRING", "invalid class string"), else None; last_error: the
    object's (code, text) from GetLastCommandError right after the failure, or None when the
    call had no command object or the question itself failed.
    """

    def __init__(self, dbus_name, message, hresult=None, name=None, text=None, last_error=None):
        self.dbus_name = dbus_name
        self.message = message
        self.hresult = hresult
        self.name = name
        self.text = text
        self.last_error = last_error
        shown = message if message else dbus_name
        if last_error and last_error[0]:
            shown += " (last command error %d: %s)" % last_error
        super().__init__(shown)


def parse_hresult_message(message):
    """(hresult, name, text) of an HRESULT error's message "0x800401F3 NAME: text".

    The hex value stands first and alone up to the first space; name and text are None when the
    server did not know the status.
    """
    head, _, rest = (message or "").partition(" ")
    try:
        hresult = int(head, 16)
    except ValueError:
        return None, None, None
    name, sep, text = rest.partition(": ")
    return hresult, (name or None), (text if sep else None)


def from_dbus(exc, last_error=None):
    name = exc.get_dbus_name()
    message = exc.get_dbus_message()
    if name == ERROR_HRESULT:
        hresult, hname, text = parse_hresult_message(message)
        return KelvarinError(name, message, hresult, hname, text, last_error)
    return KelvarinError(name, message, last_error=last_error)


