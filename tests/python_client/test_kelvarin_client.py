"""The Python client against the real server binary ($KELVARIN_BINARY)."""
import datetime
import os
import re
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
CLIENT_DIR = os.path.join(HERE, "..", "..", "clients", "python")
PROTOCOL_DIR = os.path.join(HERE, "..", "..", "src", "protocol")
sys.path.insert(0, CLIENT_DIR)

try:
    import dbus  # noqa: F401
    HAVE_DBUS = True
except ImportError:
    HAVE_DBUS = False

if HAVE_DBUS:
    import kelvarin
    from kelvarin import NULL, KelvarinError, OleDate, SafeArray, Variant
    from kelvarin import variant as kv
    from server_process import ServerProcess


@unittest.skipUnless(HAVE_DBUS, "python3-dbus is not installed")
class OfflineTest(unittest.TestCase):
    """What the client decides without a server."""

    def test_ole_dates_convert_both_ways(self):
        cases = [
            (0.0, datetime.datetime(1899, 12, 30)),
            (2.25, datetime.datetime(1900, 1, 1, 6)),
            # Before the epoch the fraction still counts forwards within the day.
            (-1.25, datetime.datetime(1899, 12, 29, 6)),
            (-0.5, datetime.datetime(1899, 12, 30, 12)),
            (45000.5, datetime.datetime(2023, 3, 15, 12)),
        ]
        for days, dt in cases:
            with self.subTest(days=days):
                self.assertEqual(OleDate(days).to_datetime(), dt)
                self.assertEqual(OleDate.from_datetime(dt).days, abs(days) if days == -0.5 else days)

    def test_received_dates_round_to_the_millisecond_like_the_cpp_client(self):
        one_ms = 1 / 86400000
        cases = [
            ("just before midnight rounds into the next day", 45000.99999999999, datetime.datetime(2023, 3, 16)),
            ("a negative day rounding up to the epoch", -1.99999999999, datetime.datetime(1899, 12, 30)),
            ("milliseconds survive", 45000.5 + 123 * one_ms, datetime.datetime(2023, 3, 15, 12, 0, 0, 123000)),
            ("no datetime holds it", 1e7, OleDate(1e7)),
            ("not finite", float("nan"), None),
        ]
        for name, days, want in cases:
            with self.subTest(name):
                got = kv.decode_date(days)
                if want is None:
                    self.assertIsInstance(got, OleDate)
                else:
                    self.assertEqual(got, want)
        self.assertEqual(kv.decode_date(-0.25, span=True), -datetime.timedelta(hours=6))

    def test_the_client_tables_match_the_servers(self):
        # The introspection XML says neither how a command keeps its error nor which doubles are
        # dates; the client carries both, and must follow the server's tables.
        keeps, dates = set(), {}
        for table in ("icalc_commands.inc", "icalc_app_commands.inc"):
            with open(os.path.join(PROTOCOL_DIR, table), encoding="utf-8") as f:
                text = f.read()
            rows = re.findall(r'\{\s*\.name = "(\w+)",(.*?)\n        \}', text, re.S)
            self.assertGreater(len(rows), 50, "the table's layout changed: %s" % table)
            for name, body in rows:
                behaviour = re.search(r"B::(\w+)", body)
                retval = re.search(r"Retval\(T::(\w+)", body)
                if (behaviour and behaviour.group(1) in ("ForwardNoReset", "FixedFalse", "FixedEmpty",
                                                         "FixedComServerErrors")
                        and retval and retval.group(1) in ("Variant", "Bstr")):
                    keeps.add(name)
                for direction, param in re.findall(r'(\w+)\(T::Date, "(\w+)"\)', body):
                    dates.setdefault(name, set()).add(kelvarin.answers.RETVAL if direction == "Retval" else param)
        self.assertEqual(set(kelvarin.KEEPS_PREVIOUS_ERROR), keeps)
        self.assertEqual({k: set(v) for k, v in kelvarin.DATE_PARAMS.items()}, dates)

    def test_hresult_messages_parse_old_and_new_forms(self):
        cases = [
            ("0x800401F3 CO_E_CLASSSTRING: invalid class string", (0x800401F3, "CO_E_CLASSSTRING", "invalid class string")),
            ("0x80071234", (0x80071234, None, None)),
            ("0x80070020 HRESULT_FROM_WIN32(32)", (0x80070020, "HRESULT_FROM_WIN32(32)", None)),
            ("not a number", (None, None, None)),
            ("", (None, None, None)),
        ]
        for message, want in cases:
            with self.subTest(message=message):
                self.assertEqual(kelvarin.parse_hresult_message(message), want)

    def test_default_socket_follows_the_servers_rule(self):
        cases = [
            ({"KELVARIN_SOCKET": "/x/s", "XDG_RUNTIME_DIR": "/run/user/7"}, 7, "/x/s"),
            ({"KELVARIN_SOCKET": "", "XDG_RUNTIME_DIR": "/run/user/7"}, 7, "/run/user/7/kelvarin/bus"),
            ({}, 0, "/run/kelvarin/bus"),
            ({"XDG_RUNTIME_DIR": ""}, 1000, "/tmp/kelvarin-1000/bus"),
        ]
        for env, uid, want in cases:
            with self.subTest(env=env, uid=uid):
                self.assertEqual(kelvarin.default_socket_path(env, uid), want)

    def test_values_the_wire_cannot_carry_are_refused_before_sending(self):
        deep = []
        for _ in range(kv.MAX_ARRAY_DEPTH):
            deep = [deep]
        cases = [
            ("VT_I1 above 127", Variant(kv.VT_I1, 128), ValueError),
            ("VT_I1 below -128", Variant(kv.VT_I1, -129), ValueError),
            ("arrays too deep", deep, ValueError),
            ("an integer over 64 bits", 2**64, OverflowError),
            ("no VARTYPE for a set", {1}, TypeError),
            ("VT_VARIANT alone", Variant(kv.VT_VARIANT, 1), ValueError),
        ]
        for name, value, error in cases:
            with self.subTest(name):
                self.assertRaises(error, kelvarin.encode_variant, value)


@unittest.skipUnless(HAVE_DBUS, "python3-dbus is not installed")
class ServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.environ.get("KELVARIN_BINARY"):
            raise unittest.SkipTest("KELVARIN_BINARY names no server binary")
        cls.server = ServerProcess()
        try:
            cls.server.start()
        except BaseException:
            cls.server.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.server.close()

    def setUp(self):
        self.conn = kelvarin.connect(self.server.socket)
        self.addCleanup(self.conn.close)
        self.cmd = self.conn.create("Kelvarin.CalcCommands")

    def echo(self, value, exact=True):
        # GetFormulaParameters is not built: it answers False and hands its in/out VARIANT back
        # untouched, which makes it an echo of whatever the codec carries.
        parameters, result = self.cmd.GetFormulaParameters(None, value, exact=exact, check=False)
        self.assertIs(result, False)
        return parameters

    def test_every_vartype_comes_back_as_sent(self):
        cases = [
            Variant(kv.VT_EMPTY, None),
            Variant(kv.VT_NULL, NULL),
            Variant(kv.VT_I1, -128), Variant(kv.VT_I1, 127),
            Variant(kv.VT_I2, -32768),
            Variant(kv.VT_I4, -2**31), Variant(kv.VT_INT, 2**31 - 1),
            Variant(kv.VT_ERROR, -2147352572),
            Variant(kv.VT_UI1, 255), Variant(kv.VT_UI2, 65535),
            Variant(kv.VT_UI4, 2**32 - 1), Variant(kv.VT_UINT, 2**32 - 1),
            Variant(kv.VT_I8, -2**63), Variant(kv.VT_UI8, 2**64 - 1),
            # Floating types travel as the double held, never narrowed.
            Variant(kv.VT_R4, 0.1), Variant(kv.VT_R8, -1e300), Variant(kv.VT_CY, 12.3456),
            Variant(kv.VT_DATE, OleDate(45000.75)),
            Variant(kv.VT_BOOL, True), Variant(kv.VT_BOOL, False),
            Variant(kv.VT_BSTR, "Grüße ✓"), Variant(kv.VT_BSTR, ""),
            Variant(kv.VT_DISPATCH, None), Variant(kv.VT_UNKNOWN, None),
        ]
        for sent in cases:
            with self.subTest(sent=sent):
                self.assertEqual(self.echo(sent), sent)

    def test_objects_come_back_as_the_same_proxy(self):
        for vt in (kv.VT_DISPATCH, kv.VT_UNKNOWN):
            with self.subTest(vt=vt):
                got = self.echo(Variant(vt, self.cmd))
                self.assertEqual(got.vt, vt)
                self.assertIs(got.value, self.cmd)
        self.assertIs(self.echo(self.cmd, exact=False), self.cmd)

    def test_plain_python_values_choose_their_vartype(self):
        when = datetime.datetime(2024, 2, 29, 18, 30)
        cases = [
            (None, Variant(kv.VT_EMPTY, None), None),
            (NULL, Variant(kv.VT_NULL, NULL), NULL),
            (True, Variant(kv.VT_BOOL, True), True),
            (7, Variant(kv.VT_I4, 7), 7),
            (2**31, Variant(kv.VT_I8, 2**31), 2**31),
            (2**63, Variant(kv.VT_UI8, 2**63), 2**63),
            (1.25, Variant(kv.VT_R8, 1.25), 1.25),
            ("x", Variant(kv.VT_BSTR, "x"), "x"),
            (when, Variant(kv.VT_DATE, OleDate.from_datetime(when)), when),
            ([1, "a"], Variant(kv.VT_ARRAY | kv.VT_VARIANT,
                               SafeArray([Variant(kv.VT_I4, 1), Variant(kv.VT_BSTR, "a")])), SafeArray([1, "a"])),
        ]
        for sent, exact, plain in cases:
            with self.subTest(sent=sent):
                self.assertEqual(self.echo(sent), exact)
                self.assertEqual(self.echo(sent, exact=False), plain)

    def test_arrays_keep_their_lower_bound_and_element_type(self):
        I4 = kv.VT_I4
        cases = [
            ("typed, negative bound", SafeArray([1, 2, 3], lower=-3, vt=I4),
             Variant(kv.VT_ARRAY | I4, SafeArray([Variant(I4, 1), Variant(I4, 2), Variant(I4, 3)], -3, I4))),
            ("empty, bound 5", SafeArray([], lower=5),
             Variant(kv.VT_ARRAY | kv.VT_VARIANT, SafeArray([], 5))),
            ("typed strings", SafeArray(["a", ""], lower=1, vt=kv.VT_BSTR),
             Variant(kv.VT_ARRAY | kv.VT_BSTR, SafeArray([Variant(8, "a"), Variant(8, "")], 1, kv.VT_BSTR))),
            ("nested variants", SafeArray([SafeArray([NULL], lower=2), 1.5], lower=1),
             Variant(kv.VT_ARRAY | kv.VT_VARIANT,
                     SafeArray([Variant(kv.VT_ARRAY | kv.VT_VARIANT, SafeArray([Variant(kv.VT_NULL, NULL)], 2)),
                                Variant(kv.VT_R8, 1.5)], 1))),
        ]
        for name, sent, want in cases:
            with self.subTest(name):
                self.assertEqual(self.echo(sent), want)
        arr = self.echo(SafeArray(["x", "y"], lower=10, vt=kv.VT_BSTR), exact=False)
        self.assertEqual((arr.lower, arr.vt, arr.at(11)), (10, kv.VT_BSTR, "y"))
        self.assertRaises(IndexError, arr.at, 12)

    def test_the_deepest_array_the_server_takes(self):
        deepest = 1
        for _ in range(kv.MAX_ARRAY_DEPTH):
            deepest = [deepest]
        got = self.echo(deepest, exact=False)
        for _ in range(kv.MAX_ARRAY_DEPTH):
            got = got[0]
        self.assertEqual(got, 1)

    def test_in_out_parameters_come_back_in_wire_order(self):
        self.assertEqual(self.cmd.signature("GetConversion"), (
            [("MeasurementType", "s"), ("UnitsIn", "s"), ("UnitsOut", "s"), ("Multiplier", "d"), ("Offset", "d")],
            [("UnitsOut", "s"), ("Multiplier", "d"), ("Offset", "d"), ("bResult", "b")]))
        units, multiplier, offset, ok = self.cmd.GetConversion("Temperature", "F", "C", 7, 7)
        self.assertEqual((units, ok), ("C", True))
        self.assertAlmostEqual(100 * multiplier + offset, 212)
        self.assertEqual(self.cmd.last_error(), (0, ""))

        # By name as well; a refused conversion names its reason, raw with check=False.
        _, _, _, ok = self.cmd.GetConversion("Colour", UnitsIn="F", UnitsOut="C", Multiplier=1, Offset=0,
                                             check=False)
        self.assertFalse(ok)
        self.assertEqual(self.cmd.last_error(), (143, "Invalid Measurement Type."))
        self.assertEqual(self.cmd.GetLastCommandError(0), (143, "Invalid Measurement Type."))

    def test_arguments_are_checked_against_the_introspected_signature(self):
        cases = [
            ("too many", lambda: self.cmd.CalcCommandVersion(1)),
            ("missing", lambda: self.cmd.GetConversion(UnitsIn="F")),
            ("unknown name", lambda: self.cmd.GetLastCommandError(0, Bogus=1)),
        ]
        for name, call in cases:
            with self.subTest(name):
                self.assertRaises(TypeError, call)
        self.assertRaises(AttributeError, getattr, self.cmd, "NoSuchMethod")
        app = self.conn.create("Kelvarin.CalcAppCommands")
        self.assertEqual(app.interface, "com.quorlith.Kelvarin.ICalcAppCommands")
        self.assertIn("GetConversion", app.methods())

    def test_failures_raise_with_the_hresult_name_and_last_error(self):
        with self.assertRaises(KelvarinError) as caught:
            self.conn.create("No.Such.Class")
        e = caught.exception
        self.assertEqual((e.dbus_name, e.hresult, e.name, e.text),
                         (kelvarin.ERROR_HRESULT, 0x800401F3, "CO_E_CLASSSTRING", "invalid class string"))
        self.assertEqual(e.message, "0x800401F3 CO_E_CLASSSTRING: invalid class string")

        # A late-bound call with too few arguments.
        with self.assertRaises(KelvarinError) as caught:
            self.cmd.invoke("GetConversion", "Colour")
        self.assertEqual((caught.exception.hresult, caught.exception.name), (0x8002000E, "DISP_E_BADPARAMCOUNT"))

    def test_released_and_closed_objects_are_gone(self):
        other = self.conn.create("Kelvarin.CalcCommands")
        other.release()
        with self.assertRaises(KelvarinError) as caught:
            other.CalcCommandVersion()
        self.assertEqual(caught.exception.dbus_name, "org.freedesktop.DBus.Error.UnknownObject")
        self.assertTrue(self.cmd.CalcCommandVersion())

        # Leaving the context closes the connection; its objects cannot be called any more.
        with kelvarin.connect("unix:path=" + self.server.socket) as conn:
            held = conn.create()
            self.assertTrue(held.CalcCommandVersion())
        with self.assertRaises(KelvarinError) as caught:
            held.CalcCommandVersion()
        self.assertEqual(caught.exception.dbus_name, "org.freedesktop.DBus.Error.Disconnected")

    def test_failure_answers_raise_with_the_last_command_error(self):
        cases = [
            ("no object", lambda: self.cmd.GetCalculationObject("NoSuchCalc"), 0, "",
             "GetCalculationObject: answered no object and left no command error"),
            ("False", lambda: self.cmd.GetConversion("Colour", "F", "C"), 143, "Invalid Measurement Type.",
             "GetConversion: error 143: Invalid Measurement Type."),
            ("an empty string with an error", lambda: self.cmd.SaveCalcXML("NoSuchCalc"), 186,
             "Failed to get calculation object.", "SaveCalcXML: error 186: Failed to get calculation object."),
        ]
        for name, call, code, text, shown in cases:
            with self.subTest(name):
                with self.assertRaises(KelvarinError) as caught:
                    call()
                e = caught.exception
                self.assertEqual((e.code, e.text, e.args, str(e)), (code, text, (code, text), shown))
                self.assertIsNone(e.dbus_name)

        # An empty answer without an error is an answer: an empty store lists nothing.
        self.assertIsNone(self.cmd.GetCalculationList())
        # A command that keeps the previous error answers empty without it being its own.
        self.assertRaises(KelvarinError, self.cmd.GetConversion, "Colour", "F", "C")
        self.assertIsNone(self.cmd.GetCdbLockInfo())
        self.assertEqual(self.cmd.last_error()[0], 143)

    def test_check_false_keeps_raw_answers_per_call_and_per_connection(self):
        self.assertIsNone(self.cmd.GetCalculationObject("NoSuchCalc", check=False))
        with kelvarin.connect(self.server.socket, check=False) as conn:
            cmd = conn.create()
            self.assertIsNone(cmd.GetCalculationObject("NoSuchCalc"))
            self.assertFalse(cmd.GetConversion("Colour", "F", "C")[-1])
            self.assertRaises(KelvarinError, cmd.GetCalculationObject, "NoSuchCalc", check=True)

    def test_dates_and_spans_travel_as_datetime_and_timedelta(self):
        start = self.cmd.ComputeNextStartTime(datetime.timedelta(minutes=5), datetime.timedelta(0), 0, 0)
        self.assertIsInstance(start, datetime.datetime)
        self.assertEqual((start.minute % 5, start.second, start.microsecond), (0, 0, 0))
        offset = self.cmd.GetServerGmtOffset(start)
        self.assertIsInstance(offset, datetime.timedelta)
        # exact=True keeps the days of the wire; plain days go in as well.
        days = self.cmd.call("GetServerGmtOffset", OleDate.from_datetime(start).days, exact=True)
        self.assertAlmostEqual(days, offset / datetime.timedelta(days=1))
        # A span goes only where a span belongs.
        self.assertRaises(TypeError, self.cmd.GetServerGmtOffset, datetime.timedelta(days=1))

        self.assertTrue(self.cmd.AddScheduleGroup("G1", datetime.timedelta(minutes=5), datetime.timedelta(0), 0, 0))
        last, following, run_rate, scheduled_rate, offset, _, _, _, ok = self.cmd.ScheduleGroupInfo("G1")
        self.assertEqual((type(last), type(following), type(run_rate)),
                         (datetime.datetime, datetime.datetime, datetime.timedelta))
        # Doubles stay doubles, in days, as the wire and kelvarin-cli have them.
        self.assertAlmostEqual(scheduled_rate, 5 / 1440)

    def test_in_out_parameters_may_be_left_out(self):
        self.assertEqual(self.cmd.GetLastCommandError(), (0, ""))
        units, multiplier, offset, ok = self.cmd.GetConversion("Temperature", "F", UnitsOut="C")
        self.assertEqual((units, ok), ("C", True))
        self.assertAlmostEqual(100 * multiplier + offset, 212)

    def test_late_bound_names_are_looked_up_once_per_object(self):
        calc = self.cmd.CreateCalculationObject("Cached", "", "")
        asked = []
        real_call = self.conn._call

        def spy(path, interface, member, *rest):
            if member == "GetIDsOfNames":
                asked.append((path, rest[1][0]))
            return real_call(path, interface, member, *rest)
        self.conn._call = spy
        calc.put("Script", "Result = 1")
        for _ in range(3):
            self.assertEqual(calc.get("Script"), "Result = 1")
        other = self.cmd.CreateCalculationObject("Cached2", "", "")
        other.get("Script")
        self.assertEqual(asked, [(calc.object_path, "Script"), (other.object_path, "Script")])

    def test_typed_arrays_decode_to_plain_values(self):
        when = datetime.datetime(2024, 2, 29, 18, 30, 0, 250000)
        cases = [
            (kv.VT_BSTR, ["a", "", "Grüße"]),
            (kv.VT_I4, [-1, 0, 2**31 - 1]),
            (kv.VT_UI8, [2**64 - 1]),
            (kv.VT_R8, [0.5, -1e300]),
            (kv.VT_BOOL, [True, False]),
            (kv.VT_DATE, [when]),
            (kv.VT_DISPATCH, [self.cmd, None]),
        ]
        for vt, items in cases:
            with self.subTest(vt=vt):
                got = self.echo(SafeArray(items, lower=1, vt=vt), exact=False)
                self.assertEqual((got.vt, got.lower, got.items), (vt, 1, items))
                for g, want in zip(got.items, items):
                    self.assertIs(type(g), type(want))

    def test_the_example_saves_and_lists_a_calculation(self):
        example = os.path.join(CLIENT_DIR, "examples", "save_calculation.py")
        run = subprocess.run([sys.executable, example, self.server.socket], capture_output=True, text=True,
                             timeout=60)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertIn("Boiler1", run.stdout.splitlines())
        self.assertTrue(os.path.exists(os.path.join(self.server.store, "Calc", "Boiler1.zrc")))
        calc = self.cmd.GetCalculationObject("Boiler1")
        self.assertEqual(calc.get("Script"), "Result = Inlet * 2")


if __name__ == "__main__":
    unittest.main()
