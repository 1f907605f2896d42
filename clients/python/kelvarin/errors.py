"""Failures of calls, as the server reports them."""
ERROR_HRESULT = "com.quorlith.Kelvarin.Error.HRESULT"


class KelvarinError(Exception):
    """A call that failed: KelvarinError(code, text).

    code, text: for a command that answered failure (False, no object, or an empty answer that
    set an error), the object's last command error as GetLastCommandError gives it (code None
    when it could not be fetched); for a call the server refused, the HRESULT as an int
    (0x800401F3) and its text; for any other D-Bus failure, None and the D-Bus message.
    method: the method called, when known. answer: a command's raw answer, what check=False
    would have returned (None for refused calls).

    For refused calls also: dbus_name, the D-Bus error name; hresult, the failed status or None
    when the error is not an HRESULT; name, its symbolic name ("CO_E_CLASSSTRING") or None;
    message, the D-Bus message. last_error is the object's (code, text) read right after the
    failure, or None when the call had no command object or the question failed.
    """

    def __init__(self, code, text, *, method=None, answer=None, dbus_name=None, message=None, hresult=None,
                 name=None, last_error=None):
        super().__init__(code, text)
        self.code = code
        self.text = text
        self.method = method
        self.answer = answer
        self.dbus_name = dbus_name
        self.message = message
        self.hresult = hresult
        self.name = name
        self.last_error = last_error

    def __str__(self):
        where = self.method + ": " if self.method else ""
        if self.dbus_name is None:
            if self.code is None:
                return where + (self.text or "failed")
            if self.code == 0 and not self.text:
                retval = self.answer[-1] if isinstance(self.answer, tuple) else self.answer
                shown = "no object" if retval is None else repr(retval)
                return where + "answered %s and left no command error" % shown
            return "%serror %d: %s" % (where, self.code, self.text)
        shown = where + (self.message or self.dbus_name)
        if self.last_error and self.last_error[0]:
            shown += " (last command error %d: %s)" % self.last_error
        return shown


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


def failure(dbus_name, message, last_error=None, method=None):
    """The KelvarinError of a failed D-Bus call."""
    if dbus_name == ERROR_HRESULT:
        hresult, hname, text = parse_hresult_message(message)
        return KelvarinError(hresult, text if text is not None else message, method=method, dbus_name=dbus_name,
                             message=message, hresult=hresult, name=hname, last_error=last_error)
    return KelvarinError(None, message or dbus_name, method=method, dbus_name=dbus_name, message=message,
                         last_error=last_error)


def from_dbus(exc, last_error=None, method=None):
    return failure(exc.get_dbus_name(), exc.get_dbus_message(), last_error, method)
