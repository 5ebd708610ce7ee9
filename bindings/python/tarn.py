"""Python binding of the Tarn VPN client core, over its C interface (libtarn-c) with ctypes.

Every network operation returns at once with a Call, a concurrent.futures.Future of the answer:
the backend's record as Python values (dicts, lists), or None for operations that answer nothing.
Call.result() waits for it and raises TarnError (Cancelled for a cancelled call) on failure; a
Call can also be awaited in asyncio. The types are in the stub beside this module (__init__.pyi). Client has one method per
operation of the library (all 28), named in snake_case (login, vpn_config, ...), whose arguments
are named as the backend names them; tarn.operations() lists them as the library describes them.

    with tarn.Storage(keychain="file", keychain_root=os.path.expanduser("~/.local/state/my-app")) as storage, \\
         tarn.Client("http://127.0.0.1:8787", storage=storage) as client:
        client.login("demo@tarn.dev", "demo-password").result()
        servers = client.servers().result()

A call keeps its client alive until it completes. At interpreter exit every client still open is
closed (its calls end with Cancelled) before Python stops running callbacks.

Text arguments must be str that can be written as UTF-8; anything else raises TarnError
("invalid_argument") naming the argument, never showing its value.

The library is found through $TARN_C_LIBRARY, then next to this file, then in the build trees of
the source checkout, then by the system's loader ("libtarn-c.so.0").
"""

import atexit
import concurrent.futures
import ctypes
import inspect
import itertools
import json
import os
import threading
import weakref

__all__ = ["APIError", "Call", "Cancelled", "Client", "Storage", "TarnError", "Timeout", "TransportError", "api_version",
           "operations", "version"]

# The oldest C interface this binding can use (tarn_operations); later versions only add to it.
_C_API_VERSION = 2


def _find_library():
    explicit = os.environ.get("TARN_C_LIBRARY")
    if explicit:
        return explicit
    here = os.path.dirname(os.path.abspath(__file__))
    candidates = [os.path.join(here, "libtarn-c.so")]
    for preset in ("dev", "release", "package"):
        candidates.append(os.path.join(here, "..", "..", "build", preset, "libtarn-c.so"))
    for candidate in candidates:
        if os.path.exists(candidate):
            return candidate
    return "libtarn-c.so.0"


class _Result(ctypes.Structure):
    _fields_ = [
        ("kind", ctypes.c_int),
        ("http_status", ctypes.c_int64),
        ("code", ctypes.c_int64),
        ("message", ctypes.c_char_p),
        ("json", ctypes.c_void_p),
        ("json_length", ctypes.c_size_t),
    ]


class _CallOptions(ctypes.Structure):
    _fields_ = [
        ("struct_size", ctypes.c_size_t),
        ("timeout_ms", ctypes.c_int64),
    ]


class _StorageOptions(ctypes.Structure):
    _fields_ = [
        ("struct_size", ctypes.c_size_t),
        ("keychain", ctypes.c_int),
        ("keychain_root", ctypes.c_char_p),
        ("service", ctypes.c_char_p),
        ("account", ctypes.c_char_p),
        ("defaults_file", ctypes.c_char_p),
        ("defaults_prefix", ctypes.c_char_p),
        ("app_group_id", ctypes.c_char_p),
        ("app_group_root", ctypes.c_char_p),
    ]


_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.POINTER(_Result))
_KINDS = ["none", "api", "transport", "decoding", "encoding", "keychain", "invalid_argument",
          "cancelled", "filesystem", "session_lock", "internal"]
_KEYCHAINS = {"secret-service": 0, "file": 1, "memory": 2, "platform": 3}


def _declare(lib):
    p, c_str, kind = ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int
    out = ctypes.POINTER(ctypes.c_void_p)
    signatures = {
        "tarn_version": (c_str, []),
        "tarn_c_api_version": (ctypes.c_int, []),
        "tarn_string_free": (None, [p]),
        "tarn_last_error_message": (c_str, []),
        "tarn_last_error_kind": (kind, []),
        "tarn_call_cancel": (None, [p]),
        "tarn_call_release": (None, [p]),
        "tarn_storage_options_init": (None, [ctypes.POINTER(_StorageOptions)]),
        "tarn_storage_create": (kind, [ctypes.POINTER(_StorageOptions), out]),
        "tarn_storage_destroy": (None, [p]),
        "tarn_storage_device_id": (kind, [p, out, ctypes.POINTER(ctypes.c_int)]),
        "tarn_storage_has_session": (kind, [p, ctypes.POINTER(ctypes.c_int)]),
        "tarn_storage_clear_session": (kind, [p]),
        "tarn_storage_write_connection_profile": (kind, [p, c_str]),
        "tarn_storage_read_connection_profile": (kind, [p, out]),
        "tarn_storage_clear_connection_profile": (kind, [p]),
        "tarn_storage_connection_profile_dir": (kind, [p, out]),
        "tarn_client_create_json": (kind, [c_str, p, out]),
        "tarn_client_destroy": (None, [p]),
        "tarn_client_call": (p, [p, c_str, c_str, _CALLBACK, p]),
        "tarn_client_call_with": (p, [p, c_str, c_str, ctypes.POINTER(_CallOptions), _CALLBACK, p]),
        "tarn_call_options_init": (None, [ctypes.POINTER(_CallOptions)]),
        "tarn_operations": (c_str, []),
    }
    for name, (restype, argtypes) in signatures.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    return lib


# ctypes.CDLL releases the interpreter lock around every call, so a client's I/O thread can run
# callbacks while another thread waits in tarn_client_destroy.
_lib = _declare(ctypes.CDLL(_find_library()))
if _lib.tarn_c_api_version() < _C_API_VERSION:
    raise ImportError("libtarn-c has C API version %d, this binding needs %d or later"
                      % (_lib.tarn_c_api_version(), _C_API_VERSION))


def version():
    """The library's version, "0.1.0"."""
    return _lib.tarn_version().decode()


def api_version():
    return _lib.tarn_c_api_version()


class TarnError(Exception):
    """A failed operation: kind ("api", "transport", "decoding", ...), the HTTP status of a
    backend failure (0 otherwise), a kind-specific code, and a message free of secrets."""

    def __init__(self, kind, message, http_status=0, code=0):
        super().__init__(message)
        self.kind = kind
        self.message = message
        self.http_status = http_status
        self.code = code

    def __repr__(self):
        return "%s(%r, %r, http_status=%d)" % (type(self).__name__, self.kind, self.message, self.http_status)

    def __str__(self):
        return self.message


class Cancelled(TarnError, concurrent.futures.CancelledError):
    """The call was cancelled: by Call.cancel(), a cancelled asyncio task awaiting it, or its
    client's close()."""


class APIError(TarnError):
    """The backend refused the request; http_status is what it answered (401 for a refused
    sign-in), 0 when the client refused it before sending (an unusable base URL)."""


class TransportError(TarnError, ConnectionError):
    """The request did not get an answer: connection, TLS, proxy; code is libcurl's."""


class Timeout(TransportError, TimeoutError):
    """The request ran out of its time (timeout= or request_timeout_ms)."""


_CURLE_OPERATION_TIMEDOUT = 28


def _error(kind_value, message, http_status=0, code=0):
    kind = _KINDS[kind_value] if 0 <= kind_value < len(_KINDS) else "unknown"
    if kind == "cancelled":
        cls = Cancelled
    elif kind == "api":
        cls = APIError
    elif kind == "transport":
        cls = Timeout if code == _CURLE_OPERATION_TIMEDOUT else TransportError
    else:
        cls = TarnError
    return cls(kind, message, http_status, code)


def _last_error():
    return _error(_lib.tarn_last_error_kind(), _lib.tarn_last_error_message().decode(errors="replace"))


def _check(kind_value):
    if kind_value != 0:
        raise _last_error()


def _take_string(pointer):
    try:
        return ctypes.string_at(pointer.value).decode()
    finally:
        _lib.tarn_string_free(pointer)


def _invalid(name, what):
    return TarnError("invalid_argument", "%s %s" % (name, what))


def _utf8(value, name):
    """value as UTF-8 bytes. Python's own encoding error would carry the whole value (a password,
    a profile with its secret) in its text and its repr, so it never leaves here: the error raised
    names the argument only, and is raised outside the handler so that it has no such context."""
    if not isinstance(value, str):
        raise _invalid(name, "must be a str, not %s" % type(value).__name__)
    try:
        return value.encode()
    except UnicodeEncodeError:
        pass
    raise _invalid(name, "is not valid Unicode text (a lone surrogate cannot be written as UTF-8)")


def _optional_utf8(value, name):
    return None if value is None else _utf8(value, name)


def _path(value):
    # File names are bytes to the system; os.fsencode gives back exactly those Python decoded.
    return None if value is None else os.fsencode(value)


def _json_arguments(arguments):
    """arguments as one JSON object in UTF-8, checked the same way, argument by argument."""
    for name, value in arguments.items():
        try:
            json.dumps(value, ensure_ascii=False).encode()
            continue
        except UnicodeEncodeError:
            pass
        except (TypeError, ValueError):
            raise _invalid(name, "cannot be written as JSON") from None
        raise _invalid(name, "is not valid Unicode text (a lone surrogate cannot be written as UTF-8)")
    return json.dumps(arguments, ensure_ascii=False).encode()


# The operations of tarn_client_call with their arguments in the library's order ("?": optional),
# as tarn_operations() describes them; test_tarn.py checks that the two agree. Each becomes a
# Client method of the same name: required arguments first, then the optional ones (None: left
# out), all also by keyword.
_EVENT = ("event_name", "event_id?", "session_id?", "device_id", "event_time", "app_version", "os_version?",
          "platform", "server_id?", "vpn_state?", "duration_ms?", "metadata?")
_PUSH_TOKEN = ("platform", "provider?", "token", "environment", "device_id", "app_version", "locale?", "timezone?")
_OPERATIONS = {
    "login": ("email", "password"),
    "register": ("email", "password", "name?", "accepted_terms", "accepted_personal_data_processing"),
    "request_email_code": ("email", "device_id", "platform?"),
    "verify_email_code": ("challenge_id", "code", "accepted_terms", "accepted_personal_data_processing"),
    "login_with_apple": ("identity_token", "authorization_code?", "name?", "device_id"),
    "create_telegram_session": ("device_id",),
    "telegram_session_status": ("id", "secret"),
    "verify_telegram_session": ("id", "secret", "code"),
    "create_oauth_session": ("provider?", "device_id"),
    "oauth_session_status": ("id",),
    "logout": (),
    "delete_account": ("device_id",),
    "me": (),
    "sync_user": ("device_id", "platform", "app_version", "crm_user_id?", "email?", "telegram_user_id?",
                  "telegram_username?"),
    "subscription_status": (),
    "account_devices": (),
    "remove_account_device": ("id",),
    "verify_apple_transaction": ("product_id", "transaction_id", "original_transaction_id", "purchase_date",
                                 "expires_at?", "environment", "app_account_token?", "signed_transaction_info"),
    "billing_catalog": (),
    "create_billing_checkout": ("tariff_id", "device_limit", "payment_method", "recurring_opt_in", "platform",
                                "promo_code?"),
    "servers": (),
    "vpn_config": ("server_id", "device_id", "platform?"),
    "revoke_vpn": ("device_id",),
    "record_app_event": _EVENT,
    "record_anonymous_app_event": _EVENT,
    "register_push_token": _PUSH_TOKEN,
    "delete_push_token": _PUSH_TOKEN,
    "app_release": (),
}


def operations():
    """The library's own description of its operations (see tarn_operations in tarn/c/tarn.h)."""
    return json.loads(_lib.tarn_operations())


def _operation_method(name, arguments):
    required = [a for a in arguments if not a.endswith("?")]
    optional = [a[:-1] for a in arguments if a.endswith("?")]
    kind = inspect.Parameter.POSITIONAL_OR_KEYWORD
    parameters = ([inspect.Parameter(a, kind) for a in required]
                  + [inspect.Parameter(a, kind, default=None) for a in optional])
    signature = inspect.Signature(parameters)

    def method(self, *args, timeout=None, **kwargs):
        given = signature.bind(*args, **kwargs).arguments
        return self.call(name, timeout=timeout, **{k: v for k, v in given.items() if v is not None})

    method.__name__ = method.__qualname__ = name
    method.__signature__ = inspect.Signature(
        [inspect.Parameter("self", kind)] + parameters
        + [inspect.Parameter("timeout", inspect.Parameter.KEYWORD_ONLY, default=None)])
    method.__doc__ = "The operation %s of tarn_client_call; a Call of its answer." % name
    return method


# Calls in flight by key, each with its client: the C side holds only the key, so nothing Python
# owns is referenced from C after its callback ran, and the client lives until its calls are over.
_pending = {}
_pending_lock = threading.Lock()
_keys = itertools.count(1)


def _outcome(r):
    """What the call ended with: the answer, or the TarnError to raise."""
    if r.kind != 0:
        return _error(r.kind, r.message.decode(errors="replace"), r.http_status, r.code)
    if not r.json:
        return None
    try:
        return json.loads(ctypes.string_at(r.json, r.json_length))
    except ValueError:
        pass
    # Made outside the handler: the decoder's error holds the text, a sign-in's tokens included.
    return TarnError("decoding", "the answer is not JSON")


@_CALLBACK
def _on_result(user_data, result_pointer):
    with _pending_lock:
        call, client = _pending.pop(user_data, (None, None))
    if call is None:
        return
    client._callback_thread = threading.get_ident()
    outcome = _outcome(result_pointer.contents)
    try:
        if isinstance(outcome, Cancelled):
            # Stopped by its client's close: a cancelled future, as after cancel(). The Future's
            # own method, since ours would ask the finished C call to stop again.
            concurrent.futures.Future.cancel(call)
        elif isinstance(outcome, TarnError):
            call.set_exception(outcome)
        else:
            call.set_result(outcome)
    except concurrent.futures.InvalidStateError:
        pass  # cancelled by the caller before the library answered; nobody waits for the answer
    del call, client  # possibly the last references: see Client.close


class Call(concurrent.futures.Future):
    """One operation in flight: a concurrent.futures.Future of its answer, awaitable in asyncio.

    The library's call starts at once and is never in the Future's "running" state, so cancel()
    succeeds until the answer is in: it asks the library to stop the request and marks the call
    cancelled. A cancelled call's result() and exception() raise Cancelled, which is also the
    concurrent.futures.CancelledError that code written for futures expects."""

    def __init__(self, client, start):
        super().__init__()
        self._handle = None
        self._handle_lock = threading.Lock()
        key = next(_keys)
        with _pending_lock:
            _pending[key] = (self, client)
        handle = start(_on_result, key)
        if not handle:
            with _pending_lock:
                _pending.pop(key, None)
            raise _last_error()
        with self._handle_lock:
            self._handle = ctypes.c_void_p(handle)

    @property
    def future(self):
        """The call itself, which is the future (kept for code written when it only held one)."""
        return self

    def __await__(self):
        """Awaitable in asyncio: `answer = await client.servers()`. Cancelling the awaiting task
        cancels the call."""
        import asyncio
        return asyncio.wrap_future(self).__await__()

    def _stop(self):
        with self._handle_lock:
            if self._handle is not None:
                _lib.tarn_call_cancel(self._handle)

    def cancel(self):
        """Asks the library to stop the request and marks the call cancelled; False only when the
        answer (or failure) is already in."""
        if not super().cancel():
            return False
        self._stop()
        return True

    def result(self, timeout=None):
        """The answer; raises the TarnError the call failed with (Cancelled for a cancelled call),
        or TimeoutError when timeout seconds pass first."""
        try:
            return super().result(timeout)
        except concurrent.futures.CancelledError as error:
            cancelled = error
        raise _cancelled(cancelled)

    def exception(self, timeout=None):
        try:
            return super().exception(timeout)
        except concurrent.futures.CancelledError as error:
            cancelled = error
        raise _cancelled(cancelled)

    # The library's function is bound at definition: late in the interpreter's shutdown the
    # module's globals may already be gone when an object is collected.
    def __del__(self, _release=_lib.tarn_call_release):
        lock = getattr(self, "_handle_lock", None)
        if lock is None:
            return
        with lock:
            if self._handle is not None:
                _release(self._handle)
                self._handle = None


def _cancelled(error):
    # The Future raises a bare CancelledError; tarn's callers catch Cancelled (or TarnError).
    return error if isinstance(error, Cancelled) else Cancelled("cancelled", "the call was cancelled")


class _Handle:
    """A library object owned by a Python one: closed explicitly, by `with`, or when collected."""

    _handle = None
    _what = "object"

    def _destroy(self, handle):
        raise NotImplementedError

    def _live(self):
        if self._handle is None:
            raise TarnError("invalid_argument", "the %s is closed" % self._what)
        return self._handle

    def close(self):
        if self._handle is not None:
            handle, self._handle = self._handle, None
            self._destroy(handle)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        if getattr(self, "_handle", None) is not None:
            self.close()


class Storage(_Handle):
    """Token store, device identifier and the connection profile handed to the tunnel.

    keychain: "platform" (default: the Secret Service when the session bus offers one, else
    "file", as tarnctl chooses), "secret-service", "file" (owner-only files under keychain_root)
    or "memory". The other arguments default as in tarn_storage_options (tarn/c/tarn.h)."""

    def __init__(self, keychain="platform", keychain_root=None, service=None, account=None,
                 defaults_file=None, defaults_prefix=None, app_group_id=None, app_group_root=None):
        if keychain not in _KEYCHAINS:
            raise ValueError("keychain must be one of %s" % ", ".join(_KEYCHAINS))
        options = _StorageOptions()
        _lib.tarn_storage_options_init(ctypes.byref(options))
        options.keychain = _KEYCHAINS[keychain]
        # Kept referenced until the call returns; the library copies what it keeps.
        values = {
            "keychain_root": _path(keychain_root), "defaults_file": _path(defaults_file),
            "app_group_root": _path(app_group_root), "service": _optional_utf8(service, "service"),
            "account": _optional_utf8(account, "account"),
            "defaults_prefix": _optional_utf8(defaults_prefix, "defaults_prefix"),
            "app_group_id": _optional_utf8(app_group_id, "app_group_id")}
        for name, value in values.items():
            setattr(options, name, value)
        handle = ctypes.c_void_p()
        _check(_lib.tarn_storage_create(ctypes.byref(options), ctypes.byref(handle)))
        self._handle = handle

    _what = "storage"

    def _destroy(self, handle, _destroy=_lib.tarn_storage_destroy):
        _destroy(handle)

    def device_id(self):
        out = ctypes.c_void_p()
        _check(_lib.tarn_storage_device_id(self._live(), ctypes.byref(out), None))
        return _take_string(out)

    def has_session(self):
        flag = ctypes.c_int()
        _check(_lib.tarn_storage_has_session(self._live(), ctypes.byref(flag)))
        return bool(flag.value)

    def clear_session(self):
        _check(_lib.tarn_storage_clear_session(self._live()))

    def write_connection_profile(self, profile):
        """profile: the answer of Client.vpn_config (a dict) or its JSON text."""
        text = profile if isinstance(profile, str) else json.dumps(profile)
        _check(_lib.tarn_storage_write_connection_profile(self._live(), _utf8(text, "profile")))

    def read_connection_profile(self):
        out = ctypes.c_void_p()
        _check(_lib.tarn_storage_read_connection_profile(self._live(), ctypes.byref(out)))
        return json.loads(_take_string(out))

    def clear_connection_profile(self):
        _check(_lib.tarn_storage_clear_connection_profile(self._live()))

    def connection_profile_dir(self):
        out = ctypes.c_void_p()
        _check(_lib.tarn_storage_connection_profile_dir(self._live(), ctypes.byref(out)))
        return _take_string(out)


_CLIENT_OPTIONS = frozenset({"allow_plain_http", "ca_file", "pinned_public_key", "proxy", "user_agent",
                             "connect_timeout_ms", "request_timeout_ms", "max_calls_in_flight"})


class Client(_Handle):
    """A client of the backend at base_url with its own I/O thread. Options as in
    tarn_client_create_json: allow_plain_http, ca_file, pinned_public_key, proxy, user_agent,
    connect_timeout_ms, request_timeout_ms, max_calls_in_flight; timeout= is the request timeout in
    seconds. An option it does not know is a TypeError, as for any Python call, rather than a
    setting silently lost."""

    def __init__(self, base_url, storage=None, *, timeout=None, **options):
        unknown = sorted(set(options) - _CLIENT_OPTIONS)
        if unknown:
            raise TypeError("Client() got unexpected option(s): " + ", ".join(unknown))
        if timeout is not None:
            if timeout <= 0:
                raise ValueError("timeout must be positive")
            options["request_timeout_ms"] = max(1, int(timeout * 1000))
        options["base_url"] = base_url
        handle = ctypes.c_void_p()
        _check(_lib.tarn_client_create_json(_json_arguments(options),
                                            storage._live() if storage is not None else None,
                                            ctypes.byref(handle)))
        self._handle = handle
        _open_clients.add(self)

    _what = "client"
    _callback_thread = None

    def _destroy(self, handle, _destroy=_lib.tarn_client_destroy):
        """Cancels what is in flight (those calls end with Cancelled) and stops the I/O thread."""
        _destroy(handle)

    def close(self):
        if self._handle is None:
            return
        handle, self._handle = self._handle, None
        if threading.get_ident() != self._callback_thread:
            self._destroy(handle)
            return
        # From one of this client's own callbacks (typically its last call dropping the last
        # reference). The library would let the client wind down on its thread after the callback,
        # unobserved, possibly while the process exits. A thread of Python's own waits for it
        # instead, and Python waits for that thread before it exits.
        closer = threading.Thread(target=self._destroy, args=(handle,), name="tarn-client-close", daemon=False)
        try:
            closer.start()
        except RuntimeError:
            self._destroy(handle)  # no thread to be had: the library's own way, then

    def call(self, operation, *, timeout=None, **arguments):
        """Any operation by its name in tarn_client_call, arguments as keywords; timeout= bounds
        this call in seconds (it then fails with Timeout, as a request timeout does)."""
        handle = self._live()
        name, encoded = _utf8(operation, "operation"), _json_arguments(arguments)
        # The library keeps the call's own time: it ends the call as a request timeout.
        options = None
        if timeout is not None:
            if timeout <= 0:
                raise ValueError("timeout must be positive")
            options = _CallOptions()
            _lib.tarn_call_options_init(ctypes.byref(options))
            options.timeout_ms = max(1, int(timeout * 1000))
        return Call(self, lambda callback, key: _lib.tarn_client_call_with(
            handle, name, encoded, ctypes.byref(options) if options is not None else None, callback, key))


for _name, _arguments in _OPERATIONS.items():
    setattr(Client, _name, _operation_method(_name, _arguments))


# A client's thread calls back into Python. Once the interpreter has begun to tear itself down, any
# thread that calls into it is ended on the spot, and a call still in flight then would never
# complete. Exit functions run before that point, so every client still open is closed here, while
# its callbacks (each call ending as Cancelled) can still run.
_open_clients = weakref.WeakSet()


@atexit.register
def _close_open_clients():
    for client in list(_open_clients):
        client.close()

