"""The binding as a Python developer first meets it: `pip install ./bindings/python` into a fresh
virtual environment, offline, then `import tarn`, and a type checker (mypy --strict, from Debian's
python3-mypy) reading the installed package. Needs python3-venv and python3-mypy (scripts/bootstrap
installs both) and a loadable libtarn-c ($TARN_C_LIBRARY)."""

import os
import re
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))

# What an application writes: every line must pass mypy --strict.
TYPED_USE = '''
import asyncio
import concurrent.futures
from typing import Any

import tarn


def sign_in(url: str, root: str) -> list[Any]:
    with tarn.Storage(keychain="file", keychain_root=root) as storage, \\
            tarn.Client(url, storage=storage, timeout=5, allow_plain_http=True) as client:
        call: tarn.Call[Any] = client.login("demo@tarn.dev", "demo-password", timeout=2.5)
        future: concurrent.futures.Future[Any] = call
        future.result(30)
        done, _ = concurrent.futures.wait([client.servers(), client.me()])
        profile = client.vpn_config("s1", storage.device_id(), platform="linux").result()
        storage.write_connection_profile(profile)
        client.record_app_event("open", storage.device_id(), "2026-12-08T06:00:00Z", "1.0", "linux",
                                duration_ms=3).result()
        return [f.result() for f in done]


async def who(client: tarn.Client) -> str:
    try:
        me = await client.me()
    except tarn.Timeout as error:
        return "%s after %d" % (error.kind, error.http_status)
    except tarn.Cancelled:
        raise
    return str(me["email"])
'''

# Mistakes a type checker must report, one a line: the mistake, what mypy's message names.
MISTAKES = [
    ('client.vpn_config(server_id="s", devce_id="d")', '"devce_id"'),
    ('tarn.Client("http://127.0.0.1:8787", timeot=5)', '"timeot"'),
    ('client.login("demo@tarn.dev")', '"password"'),
    ('client.remove_account_device(id="d1")', '"id"'),
    ('answer: int = client.logout().result()', 'has type "None"'),
    ('client.me().result(timeout="soon")', '"timeout"'),
    ('tarn.Storage(keychain_root=3)', '"keychain_root"'),
    ('tarn.Storage(keychain="paper")', '"keychain"'),
]


class InstalledPackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory(prefix="tarn-py-package-")
        venv = os.path.join(cls.dir.name, "venv")
        subprocess.run([sys.executable, "-m", "venv", venv], check=True)
        cls.python = os.path.join(venv, "bin", "python")
        subprocess.run([cls.python, "-m", "pip", "install", "-q", "--no-index", "--no-cache-dir", HERE], check=True)

    @classmethod
    def tearDownClass(cls):
        cls.dir.cleanup()

    def run_in(self, *command):
        # Run from the temporary directory, so that the source tree's tarn.py is not the one found.
        return subprocess.run(command, cwd=self.dir.name, capture_output=True, text=True, timeout=120)

    def test_imports_with_its_types(self):
        shown = self.run_in(self.python, "-c", "import os, tarn; print(len(tarn.operations()), "
                            "sorted(os.listdir(os.path.dirname(tarn.__file__))))")
        self.assertEqual(shown.returncode, 0, shown.stderr)
        self.assertIn("28 ['__init__.py', '__init__.pyi',", shown.stdout)
        self.assertIn("'py.typed'", shown.stdout)

    def test_a_type_checker_accepts_sound_use_and_reports_each_mistake(self):
        with open(os.path.join(self.dir.name, "use.py"), "w") as f:
            f.write(TYPED_USE)
        with open(os.path.join(self.dir.name, "mistakes.py"), "w") as f:
            f.write("import tarn\nclient = tarn.Client('http://127.0.0.1:8787')\n"
                    + "".join(line + "\n" for line, _ in MISTAKES))
        checked = self.run_in(sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
                              "--python-executable", self.python, "use.py", "mistakes.py")
        self.assertNotIn("No module named mypy", checked.stderr, "scripts/bootstrap installs python3-mypy")
        errors = re.findall(r"^(\S+?):(\d+): error: (.*)$", checked.stdout, re.MULTILINE)
        self.assertEqual([e for e in errors if e[0] != "mistakes.py"], [], checked.stdout)
        for number, (line, named) in enumerate(MISTAKES, start=3):
            with self.subTest(line):
                reported = [message for file, at, message in errors if int(at) == number]
                self.assertTrue(any(named in message for message in reported), checked.stdout)


if __name__ == "__main__":
    unittest.main()
