"""What the client knows of the command tables that the introspection XML does not say: which
answers are failures, and which double parameters are dates or spans.

The rule is kelvarin-cli's, so both clients call the same answers failures:
  - False (a boolean retval) and no object (a null object retval) fail;
  - an empty string or VT_EMPTY fails when the call left a last command error; for the commands
    that keep the previous error unless they set one, only when the error changed during it;
  - every other answer, and every call without a retval, succeeds.
tests/python_client checks these tables against the server's own.
"""
import datetime
import math

# Commands answering a string or a VARIANT that keep the previous last error unless they set one.
KEEPS_PREVIOUS_ERROR = frozenset({
    "ChangeServerName", "ExecuteCalculationXML", "ExecuteXML", "FormulaLookup", "GetCalculationSummary",
    "GetCdbLockInfo", "GetLastCommandError", "GetLastErrorText", "GetOdmWorkSpace", "GetOdmWorkSpaces",
    "LibraryCrossReference", "ListParameterDetails", "ListVorenServers", "ObjecttoBSTR", "SaveCalcXML",
    "SaveLibXML", "SaveUnitTypeXML", "TestOdmConnection", "Validate", "Validate2",
})

# The questions about the last error are answers in themselves, never failures.
NEVER_CHECKED = frozenset({"GetLastCommandError", "GetLastErrorText"})

RETVAL = "<retval>"

# Typed Date parameters (both travel as "d"; the XML does not tell a date from a double).
DATE_PARAMS = {
    "AddScheduleGroup": frozenset({"Rate"}),
    "ComputeNewRunTime": frozenset({"NewRunTime"}),
    "ComputeNextStartTime": frozenset({"Rate", "Offset", RETVAL}),
    "GetServerGmtOffset": frozenset({"DateTime", RETVAL}),
    "ScheduleGroupInfo": frozenset({"LastRunTime", "NextRunTime", "RunRate"}),
    "SetComputedRunTime": frozenset({"NewTime"}),
}

SUCCESS, EMPTY, FAILURE = "success", "empty", "failure"


def is_span(method, param):
    """Whether a date of `param` (RETVAL for the retval) is a length of time rather than a moment."""
    if param == RETVAL:
        return method == "GetServerGmtOffset"
    lowered = param.lower()
    return "rate" in lowered or "offset" in lowered


def is_date(method, param):
    return param in DATE_PARAMS.get(method, ())


def is_failure_answer(sig, value):
    """Whether the raw wire retval `value` of signature `sig` looks like a failure."""
    if sig == "b":
        return not value
    if sig == "o":
        return str(value) == "/"
    if sig == "(qv)":
        return int(value[0]) == 0
    if sig == "s":
        return len(value) == 0
    return False


def judge(method, sig, last_code, code_before):
    """SUCCESS, EMPTY or FAILURE of an answer is_failure_answer() found failing, given the last
    error code after the call (None when it could not be read) and the one before it."""
    if sig in ("b", "o") or last_code is None:
        return FAILURE
    # An error left by an earlier call is not this call's answer.
    if method in KEEPS_PREVIOUS_ERROR and last_code == code_before:
        return EMPTY
    return FAILURE if last_code != 0 else EMPTY


_OLE_EPOCH = datetime.datetime(1899, 12, 30)
_MS_PER_DAY = 86400000


def ole_to_datetime(days):
    """The datetime of an OLE date, rounded to the millisecond as the C++ client does; None when
    it is no date a datetime can hold (not finite, or outside years 1..9999)."""
    if not math.isfinite(days) or abs(days) > 3e6:
        return None
    whole = math.trunc(days)
    # Before the epoch the fraction still counts forwards within the (negative) day.
    ms = round(abs(days - whole) * _MS_PER_DAY)
    try:
        return _OLE_EPOCH + datetime.timedelta(days=whole, milliseconds=ms)
    except OverflowError:
        return None


def datetime_to_ole(dt):
    if dt.tzinfo is not None:
        dt = dt.replace(tzinfo=None)
    whole = (dt.date() - _OLE_EPOCH.date()).days
    frac = (dt - datetime.datetime.combine(dt.date(), datetime.time())) / datetime.timedelta(days=1)
    return whole - frac if whole < 0 else whole + frac


def span_to_timedelta(days):
    if not math.isfinite(days) or abs(days) > 999999999:
        return None
    return datetime.timedelta(milliseconds=round(days * _MS_PER_DAY))


def timedelta_to_days(span):
    return span / datetime.timedelta(days=1)
