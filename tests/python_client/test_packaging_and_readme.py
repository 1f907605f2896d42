"""The client as users get it: installed by pip, without dbus-python, and as the README shows it."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
CLIENT_DIR = os.path.join(ROOT, "clients", "python")
README_MARKER = "<!-- python-readme-example: run twice by tests/python_client -->"

try:
    import dbus  # noqa: F401
    HAVE_DBUS = True
except ImportError:
    HAVE_DBUS = False

if HAVE_DBUS:
    from server_process import ServerProcess


def run_python(code, **kwargs):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120, **kwargs)


def readme_example():
    """The fenced python block that follows the marker in the README."""
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        text = f.read()
    found = re.search(re.escape(README_MARKER) + r"\s*```python\n(.*?)\n```", text, re.S)
    return found.group(1) if found else None


def why_no_pip():
    if run_python("import pip").returncode != 0:
        return "pip is not installed for %s (Debian: apt-get install python3-pip)" % sys.executable
    if run_python("import setuptools").returncode != 0:
        return "setuptools is not installed for %s (Debian: apt-get install python3-setuptools)" % sys.executable
    return None


class PackagingTest(unittest.TestCase):
    def test_import_names_the_debian_package_when_dbus_is_missing(self):
        # A None entry in sys.modules makes `import dbus` fail as if it were not installed.
        done = run_python("import sys; sys.modules['dbus'] = None; sys.path.insert(0, %r); import kelvarin"
                          % CLIENT_DIR)
        self.assertNotEqual(done.returncode, 0)
        self.assertIn("ImportError: kelvarin needs dbus-python", done.stderr)
        self.assertIn("apt-get install python3-dbus", done.stderr)

    @unittest.skipIf(why_no_pip(), why_no_pip() or "")
    def test_pip_installs_a_package_that_imports(self):
        with tempfile.TemporaryDirectory(prefix="kelvarin-pip-") as tmp:
            # A copy, so the build leaves nothing in the source tree.
            source = os.path.join(tmp, "src")
            shutil.copytree(CLIENT_DIR, source, ignore=shutil.ignore_patterns("__pycache__", "build", "*.egg-info"))
            target = os.path.join(tmp, "site")
            done = subprocess.run([sys.executable, "-m", "pip", "install", "--no-deps", "--no-build-isolation",
                                   "--no-index", "--disable-pip-version-check", "--target", target, source],
                                  capture_output=True, text=True, timeout=240, cwd=tmp)
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            self.assertTrue(os.path.isfile(os.path.join(target, "kelvarin", "client.py")))
            self.assertFalse(os.path.exists(os.path.join(target, "examples")))
            code = "import kelvarin, sys; print(kelvarin.__file__); print(kelvarin.__version__)"
            if not HAVE_DBUS:
                code = "import sys; sys.modules['dbus'] = type(sys)('dbus'); " + code
            imported = run_python(code, cwd=tmp, env=dict(os.environ, PYTHONPATH=target))
            self.assertEqual(imported.returncode, 0, imported.stderr)
            self.assertTrue(imported.stdout.startswith(os.path.join(target, "kelvarin")), imported.stdout)


@unittest.skipUnless(HAVE_DBUS, "python3-dbus is not installed")
class ReadmeExampleTest(unittest.TestCase):
    def setUp(self):
        if not os.environ.get("KELVARIN_BINARY"):
            self.skipTest("KELVARIN_BINARY names no server binary")
        self.server = ServerProcess()
        self.addCleanup(self.server.close)
        self.server.start()

    def test_the_readme_example_runs_twice_in_a_row(self):
        example = readme_example()
        self.assertIsNotNone(example, "README.md has no python block after %r" % README_MARKER)
        env = dict(os.environ, KELVARIN_SOCKET=self.server.socket)
        for run in (1, 2):
            with self.subTest(run=run):
                done = subprocess.run([sys.executable, "-c", example], capture_output=True, text=True, timeout=120,
                                      cwd=ROOT, env=env)
                self.assertEqual(done.returncode, 0, done.stderr + self.server.output())
                self.assertEqual(done.stdout.splitlines()[0], "Boiler1")
        self.assertTrue(os.path.exists(os.path.join(self.server.store, "Calc", "Boiler1.zrc")))


if __name__ == "__main__":
    unittest.main()
