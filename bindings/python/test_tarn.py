"""The Python binding against a running tarn-devserver, whose base URL comes in
$TARN_DEVSERVER_URL (ctest starts one through tarn_with_devserver)."""

import ast
import asyncio
import concurrent.futures
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback
import unittest
import urllib.request

import tarn
import tarn_build

SERVER = os.environ.get("TARN_DEVSERVER_URL")
HERE = os.path.dirname(os.path.abspath(__file__))


def add_fault(rule):
    request = urllib.request.Request(SERVER + "/dev/faults", data=json.dumps(rule).encode(),
                                     headers={"Content-Type": "application/json"}, method="POST")
    urllib.request.urlopen(request, timeout=10).close()


def library_call_ended(call, seconds=10):
    """Whether the library reported the call's end (its callback ran) within seconds."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        with tarn._pending_lock:
            if all(entry[0] is not call for entry in tarn._pending.values()):
                return True
        time.sleep(0.02)
    return False


def clear_faults():
    urllib.request.urlopen(urllib.request.Request(SERVER + "/dev/faults", method="DELETE"), timeout=10).close()


@unittest.skipUnless(SERVER, "needs TARN_DEVSERVER_URL, the base URL of a running tarn-devserver")
class BindingTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tarn-py-")
        os.mkdir(os.path.join(self.dir, "group.dev.tarn.vpn"), 0o700)
        self.storage = tarn.Storage(keychain="memory", defaults_file=os.path.join(self.dir, "defaults.json"),
                                    app_group_root=self.dir)
        self.client = tarn.Client(SERVER, storage=self.storage)

    def tearDown(self):
        self.client.close()
        self.storage.close()
        shutil.rmtree(self.dir)

    def test_signs_in_lists_servers_and_writes_the_profile(self):
        self.assertEqual(tarn.api_version(), 2)
        self.assertRegex(tarn.version(), r"^\d+\.\d+\.\d+$")
        auth = self.client.login("demo@tarn.dev", "demo-password").result(30)
        self.assertEqual(auth["user"]["email"], "demo@tarn.dev")
        self.assertTrue(self.storage.has_session())
        servers = self.client.servers().result(30)
        server = next(s for s in servers if s["is_available"])
        device = self.storage.device_id()
        self.assertEqual(device, self.storage.device_id())
        profile = self.client.vpn_config(server["id"], device).result(30)
        self.assertEqual(profile["server_id"], server["id"])
        self.storage.write_connection_profile(profile)
        self.assertEqual(self.storage.read_connection_profile(), profile)
        self.assertEqual(self.storage.connection_profile_dir(), os.path.join(self.dir, "group.dev.tarn.vpn"))
        self.assertIsNone(self.client.logout().result(30))
        self.assertFalse(self.storage.has_session())

    def test_every_described_operation_is_a_method_that_reaches_the_library(self):
        described = tarn.operations()
        self.assertEqual(len(described), 28)
        # The checked-in list is the library's description, argument names and order included.
        self.assertEqual({op["name"]: tuple(a["name"] + ("" if a["required"] else "?") for a in op["arguments"])
                          for op in described}, tarn._OPERATIONS)
        placeholders = {"string": "x", "boolean": False, "integer": 1, "json": "x"}
        for op in described:
            with self.subTest(op["name"]):
                arguments = {a["name"]: placeholders[a["type"]] for a in op["arguments"] if a["required"]}
                # Decoded and dispatched by the library: whatever the backend or the decoder then
                # says, an argument the library did not expect or a name it does not know would
                # come back as invalid_argument.
                try:
                    getattr(self.client, op["name"])(**arguments).result(30)
                except tarn.TarnError as error:
                    self.assertNotEqual(error.kind, "invalid_argument", error.message)
        # The type stub says the same: its methods are the description's, its Client takes the
        # options the module accepts, and it declares everything the module exports.
        with open(os.path.join(HERE, "tarn.pyi"), encoding="utf-8") as f:
            stub = f.read()
        self.assertEqual(tarn_build.stub_with_operations(stub, described), stub,
                         "tarn.pyi is behind the library: run tarn_build.py")
        declared = {node.name: node for node in ast.parse(stub).body if hasattr(node, "name")}
        declared.update((t.id, node) for node in ast.parse(stub).body if isinstance(node, ast.Assign)
                        for t in node.targets)
        self.assertLessEqual(set(tarn.__all__), set(declared))
        init = next(n for n in declared["Client"].body if getattr(n, "name", "") == "__init__")
        self.assertEqual({a.arg for a in init.args.kwonlyargs}, tarn._CLIENT_OPTIONS | {"timeout"})
        init = next(n for n in declared["Storage"].body if getattr(n, "name", "") == "__init__")
        keychain = ast.literal_eval(init.args.args[1].annotation.slice)
        self.assertEqual(set(keychain), set(tarn._KEYCHAINS))
        with self.assertRaises(TypeError):
            self.client.vpn_config(server_id="s")  # a required argument missing, before any call
        with self.assertRaises(TypeError):
            self.client.me(extra=1)

    def test_concurrent_calls_each_get_their_own_answer(self):
        self.client.login("demo@tarn.dev", "demo-password").result(30)
        # Two turns for twenty calls: the rest wait in line and still each get their own answer.
        client = tarn.Client(SERVER, storage=self.storage, max_calls_in_flight=2)
        self.addCleanup(client.close)
        calls = [client.me() if i % 2 else client.account_devices() for i in range(20)]
        for i, call in enumerate(calls):
            answer = call.result(30)
            self.assertIn("email" if i % 2 else "devices", answer)

    def test_failures_raise_with_kind_status_and_no_secret(self):
        password = "Py-secret-never-shown"
        add_fault({"path": "/auth/login", "status": 503, "body": json.dumps({"detail": "down " + password})})
        # A lone surrogate cannot be written as UTF-8; Python's own error would quote the whole text.
        unencodable = password + "\ud800"
        cases = [
            (lambda: self.client.login("demo@tarn.dev", unencodable), "invalid_argument", 0),
            (lambda: self.client.call("login", email="demo@tarn.dev", password=unencodable).result(30), "invalid_argument", 0),
            (lambda: self.storage.write_connection_profile('{"uri": "vless://%s@h:1"}' % unencodable),
             "invalid_argument", 0),
            (lambda: tarn.Storage(keychain="memory", account=unencodable), "invalid_argument", 0),
            (lambda: self.client.login("demo@tarn.dev", password).result(30), "api", 503),
            (lambda: self.client.login("demo@tarn.dev", "wrong-" + password).result(30), "api", 401),
            (lambda: self.client.call("vpn_config", device_id="d").result(30), "decoding", 0),
            (lambda: self.client.call("no_such_operation").result(30), "invalid_argument", 0),
            (lambda: self.storage.write_connection_profile({"uri": 1}), "decoding", 0),
            (lambda: tarn.Client("ftp://127.0.0.1/"), "api", 0),
            (lambda: tarn.Client(SERVER, connect_timeout_ms=-1), "invalid_argument", 0),
            (lambda: tarn.Client(SERVER, max_calls_in_flight=0), "invalid_argument", 0),
        ]
        for run, kind, status in cases:
            with self.subTest(kind=kind, status=status):
                with self.assertRaises(tarn.TarnError) as caught:
                    run()
                self.assertEqual(caught.exception.kind, kind, caught.exception.message)
                self.assertEqual(caught.exception.http_status, status)
                # What a traceback shows, chained exceptions included, and the repr.
                shown = "".join(traceback.format_exception(caught.exception)) + repr(caught.exception)
                self.assertNotIn(password, shown)
        with self.assertRaises(ValueError):
            tarn.Storage(keychain="paper")
        with self.assertRaises(TypeError):  # a misspelt option is never silently dropped
            tarn.Client(SERVER, timeot=5)

    def test_time_limits_end_the_call_with_timeout(self):
        add_fault({"path": "/app/ios/release", "delay_ms": 20000, "count": 3})
        slow_client = tarn.Client(SERVER, storage=self.storage, timeout=0.3)
        self.addCleanup(slow_client.close)
        for call in (self.client.app_release(timeout=0.3), slow_client.app_release()):
            with self.assertRaises(tarn.Timeout) as caught:
                call.result(30)
            self.assertIsInstance(caught.exception, TimeoutError)
            self.assertIsInstance(caught.exception, ConnectionError)
            self.assertFalse(call.cancelled())

    def test_calls_are_futures_that_asyncio_and_concurrent_futures_wait_for(self):
        add_fault({"path": "/app/ios/release", "delay_ms": 20000, "count": 1})
        self.client.login("demo@tarn.dev", "demo-password").result(30)
        slow = self.client.app_release()
        me, failing = self.client.me(), self.client.call("no_such_operation")
        self.assertIsInstance(slow, concurrent.futures.Future)
        self.assertCountEqual(concurrent.futures.as_completed([me, failing], timeout=30), [me, failing])
        finished, pending = concurrent.futures.wait([me, failing, slow], timeout=0.2)
        self.assertEqual((finished, pending), ({me, failing}, {slow}))
        with self.assertRaises(TimeoutError):  # the wait's own limit; the call goes on
            slow.result(0.05)
        self.assertFalse(slow.done())
        self.assertEqual(failing.exception().kind, "invalid_argument")
        self.assertFalse(me.cancel())  # finished: its answer stays
        seen = []
        me.add_done_callback(seen.append)
        self.assertEqual((seen, me.result()["email"]), ([me], "demo@tarn.dev"))
        self.assertTrue(slow.cancel())

        async def awaited():
            answer = await self.client.me()
            with self.assertRaises(tarn.TarnError):
                await self.client.call("no_such_operation")
            return answer
        self.assertEqual(asyncio.run(awaited())["email"], "demo@tarn.dev")

    def test_every_way_of_cancelling_stops_the_library_call(self):
        def cancel_the_awaiting_task(client, call):
            async def run():
                task = asyncio.ensure_future(call)
                await asyncio.sleep(0.1)
                task.cancel()
                with self.assertRaises(asyncio.CancelledError):
                    await task
            asyncio.run(run())

        def cancel_the_wrapping_future(client, call):
            async def run():
                asyncio.wrap_future(call).cancel()
                await asyncio.sleep(0.1)  # the loop hands the cancellation on
            asyncio.run(run())

        cases = [
            ("Call.cancel()", lambda client, call: self.assertTrue(call.cancel())),
            ("a cancelled asyncio task awaiting it", cancel_the_awaiting_task),
            ("a cancelled asyncio.wrap_future of it", cancel_the_wrapping_future),
            ("its client's close()", lambda client, call: client.close()),
        ]
        add_fault({"path": "/app/ios/release", "delay_ms": 20000, "count": len(cases)})
        for name, cancel in cases:
            with self.subTest(name):
                client = tarn.Client(SERVER, storage=self.storage)
                self.addCleanup(client.close)
                call = client.app_release()
                seen = []
                call.add_done_callback(seen.append)
                cancel(client, call)
                self.assertTrue(call.cancelled())
                self.assertEqual(seen, [call])
                for wait in (call.result, call.exception):
                    with self.assertRaises(tarn.Cancelled) as caught:
                        wait(0)
                    self.assertIsInstance(caught.exception, concurrent.futures.CancelledError)
                # The request itself ends, long before the server's delayed answer.
                self.assertTrue(library_call_ended(call), "the library's call runs on")
        with self.assertRaises(tarn.TarnError):
            client.me()  # closed by the last case


@unittest.skipUnless(SERVER, "needs TARN_DEVSERVER_URL, the base URL of a running tarn-devserver")
class InterpreterLifetimeTest(unittest.TestCase):
    """How a program ends with calls in flight, each in an interpreter of its own: it must end as
    Python programs do, never abort (a thread Python ends at exit unwinds through the library)."""

    # name, script (argv[1] is the server), whether the release comes only after 20 s, SIGINT once
    # the script printed a line, exit status, printed.
    CASES = [
        ("the script ends with a call in flight",
         "call = client.app_release()\nprint('started')", True, False, 0, "started"),
        ("an uncaught Ctrl-C while waiting for an answer",
         "call = client.app_release()\nprint('ready', flush=True)\ncall.result()", True, True, -signal.SIGINT, "ready"),
        ("clients and calls collected in flight",
         "for _ in range(3): tarn.Client(sys.argv[1]).app_release()\nimport gc; gc.collect()\nprint('collected')",
         True, False, 0, "collected"),
        ("a client only its call refers to",
         "print(tarn.Client(sys.argv[1]).app_release().result(30)['version'])", False, False, 0, "1."),
        ("a client closed from its own callback",
         "call = client.app_release()\ncall.add_done_callback(lambda _: client.close())\n"
         "print(call.result(30)['version'])", False, False, 0, "1."),
    ]

    def test_no_ending_aborts_the_interpreter(self):
        for name, script, delayed, interrupt, status, printed in self.CASES:
            with self.subTest(name):
                clear_faults()
                if delayed:
                    add_fault({"path": "/app/ios/release", "delay_ms": 20000, "count": 3})
                child = subprocess.Popen([sys.executable, "-c", "import sys, tarn\nclient = tarn.Client(sys.argv[1])\n"
                                          + script, SERVER], cwd=HERE, stdout=subprocess.PIPE,
                                         stderr=subprocess.PIPE, text=True)
                try:
                    if interrupt:
                        first = child.stdout.readline()
                        child.send_signal(signal.SIGINT)
                    else:
                        first = ""
                    out, err = child.communicate(timeout=60)
                finally:
                    child.kill()
                self.assertEqual(child.returncode, status, err)
                self.assertIn(printed, first + out)
                if interrupt:
                    self.assertRegex(err, r"KeyboardInterrupt\n$")
                else:
                    self.assertEqual(err, "")
        clear_faults()


if __name__ == "__main__":
    unittest.main()
