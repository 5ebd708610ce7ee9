/* tarn.h: the C interface of the Tarn VPN client core, for applications written in C and for
 * bindings (Python ctypes, Dart FFI, Node, Rust). A client owns its own I/O thread; every network
 * operation returns at once and reports through a completion callback. Records travel as the
 * backend's JSON text (UTF-8), so a binding needs no mirror of any struct.
 *
 * Threads and callbacks
 *   - A client's callbacks run on that client's I/O thread, one at a time, never on the thread
 *     that started the call (not even for a call that fails at once).
 *   - A callback may start further calls on any client and may cancel or release call handles.
 *     It must not block for long: while it runs, no other callback and no network event of that
 *     client is handled.
 *   - A callback may end its thread (pthread_exit, as Python does to a thread that calls into it
 *     while the interpreter shuts down): that client then handles nothing more, and its calls
 *     still in flight never complete; tarn_client_destroy still frees it.
 *   - The tarn_result, and every string in it, is valid only while the callback runs; copy what
 *     you keep.
 *   - Every function may be called from any thread. A client and a storage object may be used by
 *     several threads at once; destroying one while another thread still uses it is an error.
 *
 * Calls
 *   - An operation returns a tarn_call handle, or NULL when it could not start at all (a NULL
 *     client or callback: tarn_last_error tells why). For a non-NULL handle the callback is called
 *     exactly once: with the outcome, or with TARN_ERROR_CANCELLED.
 *   - Bad arguments to a started call (a NULL string, a request body that is not the expected
 *     record) complete the call with TARN_ERROR_INVALID_ARGUMENT or TARN_ERROR_DECODING.
 *   - tarn_call_cancel asks the call to stop; unless its callback has already begun, the callback
 *     reports TARN_ERROR_CANCELLED. The handle must be given back with tarn_call_release, before or
 *     after completion; releasing does not cancel.
 *   - tarn_client_call_with gives one call a timeout of its own (tarn_call_options), on top of the
 *     client's request_timeout_ms.
 *   - tarn_client_destroy cancels what is in flight, waits until every callback has run (each
 *     reporting TARN_ERROR_CANCELLED unless it had already finished) and then frees the client.
 *     Called from one of that client's own callbacks, it returns at once and the client winds
 *     down on its thread once the callback has returned.
 *
 * Synchronous functions (creation, storage) return a tarn_error_kind, TARN_ERROR_NONE on success;
 * on failure tarn_last_error_message() describes it on the calling thread. No message, result or
 * error ever contains a password, token or code the call was given, with one exception: sign-in
 * results hand the new token pair to the caller (access_token, refresh_token), so never log them.
 *
 * Ownership: strings the library returns through a char** are the caller's and are freed with
 * tarn_string_free; everything else the caller passes in is only read during the call. */
#ifndef TARN_C_TARN_H
#define TARN_C_TARN_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  if defined(TARN_C_BUILDING)
#    define TARN_C_API __declspec(dllexport)
#  else
#    define TARN_C_API __declspec(dllimport)
#  endif
#else
#  define TARN_C_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Raised when a function is added (minor change) or any existing declaration changes.
 *   1  the first interface
 *   2  tarn_operations; tarn_call_options, tarn_call_options_init and tarn_client_call_with (a
 *      timeout of one call's own) */
#define TARN_C_API_VERSION 2

/* ---- Errors ---------------------------------------------------------------------------------- */

typedef enum tarn_error_kind {
    TARN_ERROR_NONE = 0,
    /* The backend answered with an HTTP failure (http_status set) or the client refused the
     * exchange (an unusable base URL, an invalid answer, no session). code: 0 server,
     * 1 invalid base URL, 2 invalid response, 3 unauthorized. */
    TARN_ERROR_API = 1,
    /* Nothing usable came back (timeout, connect, TLS, too large, redirect refused). code: the
     * libcurl error code when there is one. */
    TARN_ERROR_TRANSPORT = 2,
    /* A JSON text that is not the expected record: a response, a stored value or a request body
     * passed in. code: 0 type mismatch, 1 value not found, 2 key not found, 3 data corrupted. */
    TARN_ERROR_DECODING = 3,
    /* A value that cannot be written as JSON (text that is not UTF-8). */
    TARN_ERROR_ENCODING = 4,
    /* The token store's keychain failed (locked, no Secret Service). code: its status. */
    TARN_ERROR_KEYCHAIN = 5,
    TARN_ERROR_INVALID_ARGUMENT = 6,
    TARN_ERROR_CANCELLED = 7,
    /* A file or directory could not be used. code: the errno value. */
    TARN_ERROR_FILESYSTEM = 8,
    /* Another process held the token store's lock far longer than a refresh takes. */
    TARN_ERROR_SESSION_LOCK = 9,
    /* Anything else (out of memory, an unexpected failure). */
    TARN_ERROR_INTERNAL = 10,
    /* Not a kind: keeps the type int-sized, and any int a binding passes a valid value of it. */
    TARN_ERROR_KIND_MAX_ENUM = 0x7FFFFFFF
} tarn_error_kind;

/* A short constant name of the kind ("api", "transport", ...); "unknown" for other values. */
TARN_C_API const char* tarn_error_kind_name(tarn_error_kind kind);

/* The message of the last failed synchronous function on this thread ("" when none), valid until
 * the next tarn function call on this thread. */
TARN_C_API const char* tarn_last_error_message(void);
TARN_C_API tarn_error_kind tarn_last_error_kind(void);

/* ---- Version and memory ---------------------------------------------------------------------- */

/* The library version, "0.1.0". */
TARN_C_API const char* tarn_version(void);
/* TARN_C_API_VERSION of the library at run time; compare with the one compiled against. */
TARN_C_API int tarn_c_api_version(void);
/* Frees a string the library returned. NULL is allowed. */
TARN_C_API void tarn_string_free(char* s);

/* ---- Results and calls ----------------------------------------------------------------------- */

typedef struct tarn_result {
    tarn_error_kind kind;
    /* The HTTP status of a TARN_ERROR_API server failure; 0 otherwise. */
    int64_t http_status;
    /* Detail of the kind, as listed with tarn_error_kind; 0 when it has none. */
    int64_t code;
    /* For people: "" on success, never NULL. */
    const char* message;
    /* On success, the response record as JSON (UTF-8, json_length bytes, NUL-terminated); NULL
     * for operations that answer nothing and on failure. */
    const char* json;
    size_t json_length;
} tarn_result;

typedef void (*tarn_callback)(void* user_data, const tarn_result* result);

typedef struct tarn_call tarn_call;

/* Asks the call to stop. NULL and completed calls are ignored. */
TARN_C_API void tarn_call_cancel(tarn_call* call);
/* Gives the handle back; the call itself goes on. NULL is allowed. */
TARN_C_API void tarn_call_release(tarn_call* call);

/* ---- Storage --------------------------------------------------------------------------------- */

typedef struct tarn_storage tarn_storage;

typedef enum tarn_keychain_kind {
    /* The desktop's Secret Service (gnome-keyring, KWallet); never prompts, a locked collection
     * fails with TARN_ERROR_KEYCHAIN. */
    TARN_KEYCHAIN_SECRET_SERVICE = 0,
    /* Files readable by their owner only under keychain_root, unencrypted. */
    TARN_KEYCHAIN_FILE = 1,
    /* Only the current token pair, in this process's memory, gone with the storage and its
     * clients (tests, demos). */
    TARN_KEYCHAIN_MEMORY = 2,
    /* The Secret Service when the session bus offers one, else FILE (what tarnctl does). */
    TARN_KEYCHAIN_PLATFORM = 3,
    TARN_KEYCHAIN_KIND_MAX_ENUM = 0x7FFFFFFF /* not a kind; as TARN_ERROR_KIND_MAX_ENUM */
} tarn_keychain_kind;

typedef struct tarn_storage_options {
    /* sizeof(tarn_storage_options), set by tarn_storage_options_init; lets later versions add
     * members without breaking callers built against this one. A program built against a later
     * header may pass its larger struct to this library as long as the members this library does
     * not know are zero; otherwise the call fails with TARN_ERROR_INVALID_ARGUMENT. */
    size_t struct_size;
    tarn_keychain_kind keychain;
    /* TARN_KEYCHAIN_FILE: the directory of its items; NULL: $XDG_DATA_HOME/tarn/keychain. */
    const char* keychain_root;
    /* Service and account of the token item; NULL: "dev.tarn.vpn" and "default". */
    const char* service;
    const char* account;
    /* The JSON file keeping the device identifier; NULL: $XDG_CONFIG_HOME/tarn/defaults.json. */
    const char* defaults_file;
    /* Prefix of the device identifier's key in that file; NULL: "dev.tarn.vpn". */
    const char* defaults_prefix;
    /* The application group whose directory the app and the tunnel share; NULL:
     * "group.dev.tarn.vpn". */
    const char* app_group_id;
    /* The directory holding the group directories; NULL: /var/lib/tarn/app-groups. */
    const char* app_group_root;
} tarn_storage_options;

/* Sets every member to its default (Secret Service, default paths and names). */
TARN_C_API void tarn_storage_options_init(tarn_storage_options* options);

/* Creates storage; nothing is read or written yet. options NULL: the defaults. */
TARN_C_API tarn_error_kind tarn_storage_create(const tarn_storage_options* options, tarn_storage** out_storage);
/* Frees the storage; a client created with it keeps what it needs. NULL is allowed. */
TARN_C_API void tarn_storage_destroy(tarn_storage* storage);

/* The stable identifier of this installation (kept in the defaults file; never empty). When it
 * could not be kept, it is still returned and *out_saved (if not NULL) is 0. */
TARN_C_API tarn_error_kind tarn_storage_device_id(tarn_storage* storage, char** out_device_id, int* out_saved);
/* 1 in *out_signed_in when a token pair is stored, else 0. Blocks on the keychain. */
TARN_C_API tarn_error_kind tarn_storage_has_session(tarn_storage* storage, int* out_signed_in);
/* Removes the stored token pair (sign-out without telling the backend). */
TARN_C_API tarn_error_kind tarn_storage_clear_session(tarn_storage* storage);
/* Hands a connection profile (the JSON record tarn_client_vpn_config answers) to the tunnel:
 * decoded and checked first, then written atomically to the shared directory. */
TARN_C_API tarn_error_kind tarn_storage_write_connection_profile(tarn_storage* storage, const char* profile_json);
/* The profile last written, as JSON. */
TARN_C_API tarn_error_kind tarn_storage_read_connection_profile(tarn_storage* storage, char** out_profile_json);
/* Removes the profile files; succeeds when there are none. */
TARN_C_API tarn_error_kind tarn_storage_clear_connection_profile(tarn_storage* storage);
/* The directory the profile is written to. */
TARN_C_API tarn_error_kind tarn_storage_connection_profile_dir(tarn_storage* storage, char** out_path);

/* ---- Client ---------------------------------------------------------------------------------- */

typedef struct tarn_client tarn_client;

typedef struct tarn_client_options {
    /* sizeof(tarn_client_options), set by tarn_client_options_init (see tarn_storage_options). */
    size_t struct_size;
    /* Nonzero: plain http to hosts that are not loopback is accepted (never in production). */
    int allow_plain_http;
    /* PEM bundle of trusted authorities; NULL: the system store. */
    const char* ca_file;
    /* Expected server key, "sha256//<base64>" (several joined with ";"); NULL: none. */
    const char* pinned_public_key;
    /* Proxy URL ("socks5h://host:port"); NULL: direct, proxy variables are not consulted. */
    const char* proxy;
    const char* user_agent;
    /* Bound on opening a connection; 0: 30 s. */
    int64_t connect_timeout_ms;
    /* Bound on each request as a whole (a repeat after a token refresh is a request of its own);
     * 0: 60 s. A call that runs out fails with TARN_ERROR_TRANSPORT. */
    int64_t request_timeout_ms;
} tarn_client_options;

TARN_C_API void tarn_client_options_init(tarn_client_options* options);

/* Creates a client of the backend at base_url (absolute http or https; plain http only to
 * loopback unless allowed) and starts its I/O thread. options NULL: the defaults. storage NULL:
 * no token is ever attached or stored; otherwise the client shares the storage's token store and
 * keeps it alive. Fails with TARN_ERROR_API (code 1) for an unusable URL, TARN_ERROR_INVALID_ARGUMENT
 * for bad options. */
TARN_C_API tarn_error_kind tarn_client_create(const char* base_url, const tarn_client_options* options,
                                              tarn_storage* storage, tarn_client** out_client);
/* The same, options as one JSON object named like the struct's members: {"base_url": "...",
 * "allow_plain_http": false, "ca_file": "...", "pinned_public_key": "...", "proxy": "...",
 * "user_agent": "...", "connect_timeout_ms": 0, "request_timeout_ms": 0, "max_calls_in_flight": 100};
 * only base_url is required. max_calls_in_flight (at least 1, JSON only) bounds the calls under way
 * at once; later ones wait their turn in order, and the wait counts towards request_timeout_ms. */
TARN_C_API tarn_error_kind tarn_client_create_json(const char* options_json, tarn_storage* storage,
                                                   tarn_client** out_client);
/* Cancels the calls in flight, waits for their callbacks, stops the I/O thread and frees the
 * client (from one of its own callbacks: see "Calls" above). NULL is allowed. */
TARN_C_API void tarn_client_destroy(tarn_client* client);

/* Network operations. Each answers the record named, as JSON; see "Calls" above. */

/* AuthResponse; the token pair is saved to the storage. */
TARN_C_API tarn_call* tarn_client_login(tarn_client* client, const char* email, const char* password,
                                        tarn_callback callback, void* user_data);
/* Nothing; tells the backend and clears the stored pair. Never fails. */
TARN_C_API tarn_call* tarn_client_logout(tarn_client* client, tarn_callback callback, void* user_data);
/* CRMUser. */
TARN_C_API tarn_call* tarn_client_me(tarn_client* client, tarn_callback callback, void* user_data);
/* An array of VPNServer. */
TARN_C_API tarn_call* tarn_client_servers(tarn_client* client, tarn_callback callback, void* user_data);
/* VLESSConfig, the connection profile for tarn_storage_write_connection_profile. platform NULL:
 * "linux". */
TARN_C_API tarn_call* tarn_client_vpn_config(tarn_client* client, const char* server_id, const char* device_id,
                                             const char* platform, tarn_callback callback, void* user_data);
/* AccountDevicesResponse. */
TARN_C_API tarn_call* tarn_client_account_devices(tarn_client* client, tarn_callback callback, void* user_data);
/* AccountDeviceRemovalResponse. */
TARN_C_API tarn_call* tarn_client_remove_account_device(tarn_client* client, int64_t device_id,
                                                        tarn_callback callback, void* user_data);
/* IOSAppRelease; sent without a token. */
TARN_C_API tarn_call* tarn_client_app_release(tarn_client* client, tarn_callback callback, void* user_data);

/* Any of the client's 28 operations by its snake_case name, its arguments as one JSON object named
 * the way the backend names its members; the answer as above. Operations and their arguments
 * ("?": optional):
 *   login {email, password}                     register {email, password, name?, accepted_terms,
 *   accepted_personal_data_processing}          request_email_code {email, device_id, platform?}
 *   verify_email_code {challenge_id, code, accepted_terms, accepted_personal_data_processing}
 *   login_with_apple {identity_token, authorization_code?, name?, device_id}
 *   create_telegram_session {device_id}         telegram_session_status {id, secret}
 *   verify_telegram_session {id, secret, code}  create_oauth_session {provider?, device_id}
 *   oauth_session_status {id}                   logout {}   delete_account {device_id}
 *   me {}   sync_user UserSyncRequest           subscription_status {}   account_devices {}
 *   remove_account_device {id}                  verify_apple_transaction AppleTransactionPayload
 *   billing_catalog {}   create_billing_checkout BillingCheckoutRequest   servers {}
 *   vpn_config {server_id, device_id, platform?}   revoke_vpn {device_id}
 *   record_app_event AppEventPayload            record_anonymous_app_event AppEventPayload
 *   register_push_token PushTokenRequest        delete_push_token PushTokenRequest
 *   app_release {}
 * platform defaults to "linux", provider to "google". Arguments are decoded by the library's own
 * decoders, so a request record is checked exactly as the typed interface checks it
 * (TARN_ERROR_DECODING otherwise). An unknown operation completes with
 * TARN_ERROR_INVALID_ARGUMENT; arguments_json NULL means {}. tarn_operations() lists the same. */
TARN_C_API tarn_call* tarn_client_call(tarn_client* client, const char* operation, const char* arguments_json,
                                       tarn_callback callback, void* user_data);

/* What bounds one call beyond the client's options (since TARN_C_API_VERSION 2). */
typedef struct tarn_call_options {
    /* sizeof(tarn_call_options), set by tarn_call_options_init (see tarn_storage_options). */
    size_t struct_size;
    /* Bound on the call as a whole, from its start until its callback: a token refresh it waits
     * for and the repeat after it included. 0: none of its own. The client's request_timeout_ms
     * still bounds each request inside the call, so this can shorten a call but not lengthen a
     * request. A call that runs out completes as a request timeout does: TARN_ERROR_TRANSPORT,
     * code 28 (libcurl's CURLE_OPERATION_TIMEDOUT). Ending it stops only this call: a token
     * refresh other calls wait for goes on. */
    int64_t timeout_ms;
} tarn_call_options;

/* Sets every member to its default (no timeout of the call's own). */
TARN_C_API void tarn_call_options_init(tarn_call_options* options);

/* tarn_client_call with options for this call; options NULL: exactly tarn_client_call. Options
 * that cannot be used (a struct_size smaller than this library's, or with members unknown to it
 * set; a negative timeout) complete the call with TARN_ERROR_INVALID_ARGUMENT. */
TARN_C_API tarn_call* tarn_client_call_with(tarn_client* client, const char* operation, const char* arguments_json,
                                            const tarn_call_options* options, tarn_callback callback,
                                            void* user_data);

/* The operations of tarn_client_call as a JSON array, one object each: "name" (for
 * tarn_client_call), "client_name" (the C++ client's), "method", "path" ("{id}" marks a value
 * taken from the arguments), "authorization" ("bearer", "none" or "session_secret"),
 * "refreshes_on_401", "takes_record" (the arguments are the request record itself), "answers"
 * (false: the call completes without JSON), "summary" and "arguments": [{"name", "type"
 * ("string", "boolean", "integer" or "json"), "required", "secret"}]. A binding checks its own
 * list of methods against it. The text is the library's, valid until the process ends; never
 * free it. NULL only when memory ran out (tarn_last_error tells). */
TARN_C_API const char* tarn_operations(void);

#ifdef __cplusplus
}
#endif

#endif /* TARN_C_TARN_H */
