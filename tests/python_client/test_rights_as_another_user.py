"""The access gate through the real server, with a client running as another uid.

Without an authorization policy the server's own account holds every right and nobody else
any: a client of uid 65534 that can reach the socket is refused every change with its code
(or E_ACCESSDENIED on a shared object), the store stays the same byte for byte, and the server's
own user then succeeds at each.
"""
import json
import os
import shutil
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "clients", "python"))

try:
    import dbus  # noqa: F401
    HAVE_DBUS = True
except ImportError:
    HAVE_DBUS = False

if HAVE_DBUS:
    import kelvarin
    from server_process import ServerProcess

OTHER_UID = 65534
PROBE = os.path.join(HERE, "rights_probe.py")
DENIED = "E_ACCESSDENIED"

# What the other uid must get for each action: the command's refusal code, or E_ACCESSDENIED
# for a change through a shared object (None: the action is a read and must succeed).
EXPECTED = {
    "GetCalculationList": None,
    "SaveCalculationObjectAs over another": 192,
    "CreateCalculationObject": 192,
    "DeleteCalculationEditObject": 192,
    "CreateCalcFolder": 192,
    "RenameCalcFolder": 192,
    "CreateLibraryObject": 195,
    "SaveLibraryObjectAs over another": 195,
    "AddMeasurementType": 198,
    "AddUnit": 198,
    "put Description on a held calculation": DENIED,
    "SetObjectProperties on a held calculation": 192,
    "put Multiplier on a unit": DENIED,
    "SetObjectProperties on a unit": 198,
    "CreateUnit on a measurement type": DENIED,
    "Remove through the conversion object": DENIED,
    "DeleteLibraryObject": 195,
    "DeleteCalculationObject": 192,
}


def snapshot(root):
    """Every file and folder under `root` with its content."""
    files = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for d in dirnames:
            files[os.path.relpath(os.path.join(dirpath, d), root)] = "<dir>"
        for f in filenames:
            path = os.path.join(dirpath, f)
            with open(path, "rb") as fh:
                files[os.path.relpath(path, root)] = fh.read()
    return files


def why_not_possible():
    if not HAVE_DBUS:
        return "python3-dbus is not installed"
    if os.geteuid() != 0:
        return "needs root to run a client as uid %d" % OTHER_UID
    if not shutil.which("setpriv"):
        return "setpriv (util-linux) is not installed"
    return None


@unittest.skipIf(why_not_possible(), why_not_possible() or "")
class RightsAsAnotherUserTest(unittest.TestCase):
    def setUp(self):
        self.server = ServerProcess()
        self.addCleanup(self.server.close)
        # The other uid reaches the socket through the group of its folder and file, as the README
        # describes for a group of clients: the folder 0750 and the socket 0660 with its group.
        os.chown(self.server.dir, 0, OTHER_UID)
        os.chmod(self.server.dir, 0o750)
        self.server.start()
        os.chown(self.server.socket, 0, OTHER_UID)
        self.prepare()

    def prepare(self):
        with kelvarin.connect(self.server.socket) as conn:
            cmd = conn.create("Kelvarin.CalcCommands")
            for name in ("Flow1", "Flow2"):
                calc = cmd.CreateCalculationObject(name, "", "")
                calc.put("Script", "return 1")
                self.assertTrue(cmd.SaveCalculationObject(calc), cmd.last_error())
            for name in ("Lib1", "Lib2"):
                lib = cmd.CreateLibraryObject(name, "HOST7", "owner")
                self.assertTrue(cmd.SaveLibraryObject(lib), cmd.last_error())
            self.assertTrue(cmd.CreateCalculationEditObject("Flow1", "HOST7", "owner", "", ""), cmd.last_error())
            self.assertTrue(cmd.CreateCalcFolder("Area1"), cmd.last_error())

    def probe(self, *prefix):
        done = subprocess.run(list(prefix) + [sys.executable, PROBE, self.server.socket], capture_output=True,
                              text=True, timeout=120)
        self.assertEqual(done.returncode, 0, "probe failed:\n%s\n%s" % (done.stderr, self.server.output()))
        return json.loads(done.stdout)

    def test_another_uid_is_refused_every_change_and_the_owner_is_not(self):
        before = snapshot(self.server.store)
        other = self.probe("setpriv", "--reuid=%d" % OTHER_UID, "--regid=%d" % OTHER_UID, "--clear-groups")
        self.assertEqual(sorted(other), sorted(EXPECTED))
        for name, want in EXPECTED.items():
            ok, code, failed = other[name]
            with self.subTest(action=name, uid=OTHER_UID):
                if want is None:
                    self.assertEqual((ok, failed), (True, None))
                elif want == DENIED:
                    self.assertEqual((ok, failed), (False, DENIED))
                else:
                    self.assertEqual((ok, code, failed), (False, want, None))
        self.assertEqual(snapshot(self.server.store), before, "a refused client changed the store")

        # The server's own user holds every right: nothing is refused.
        own = self.probe()
        for name, want in EXPECTED.items():
            ok, code, failed = own[name]
            with self.subTest(action=name, uid=os.geteuid()):
                self.assertNotEqual(failed, DENIED)
                if want not in (None, DENIED):
                    self.assertNotEqual(code, want)
                self.assertTrue(ok, own[name])
        self.assertNotEqual(snapshot(self.server.store), before)


if __name__ == "__main__":
    unittest.main()
