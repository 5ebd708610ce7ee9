/* Signs in, lists the servers and writes the connection profile of the first available one for
 * the tunnel, through the C interface. Each step starts the next from its callback on the
 * client's I/O thread; the main thread only waits for the end.
 *
 *   hello BASE_URL EMAIL PASSWORD STATE_DIR
 *
 * STATE_DIR holds what an installed app keeps in the user's directories: the token file store,
 * the device identifier and the shared group directory the profile is written to. */
#define _POSIX_C_SOURCE 200809L

#include <tarn/c/tarn.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <threads.h>

typedef struct flow {
    tarn_client* client;
    tarn_storage* storage;
    char* device_id;
    mtx_t lock;
    cnd_t done_changed;
    int done;
    int status; /* exit status */
} flow;

static void finish(flow* f, int status) {
    mtx_lock(&f->lock);
    f->status = status;
    f->done = 1;
    cnd_signal(&f->done_changed);
    mtx_unlock(&f->lock);
}

static int failed(flow* f, const char* step, const tarn_result* r) {
    if (r->kind == TARN_ERROR_NONE) return 0;
    fprintf(stderr, "%s failed: %s (%s, HTTP %lld)\n", step, r->message, tarn_error_kind_name(r->kind),
            (long long)r->http_status);
    finish(f, 1);
    return 1;
}

/* A real program reads the answer with its JSON library; the example takes the first
 * "id" of an available server, which is all it needs. */
static int first_available_server(const char* servers, char* id, size_t size) {
    const char* at = servers;
    while ((at = strstr(at, "{\"id\":\"")) != NULL) {
        const char* start = at + strlen("{\"id\":\"");
        const char* end = strchr(start, '"');
        const char* next = strstr(start, "{\"id\":\"");
        const char* available = strstr(start, "\"is_available\":true");
        at = start;
        if (end == NULL || (size_t)(end - start) >= size) continue;
        if (available == NULL || (next != NULL && available > next)) continue;
        memcpy(id, start, (size_t)(end - start));
        id[end - start] = '\0';
        return 1;
    }
    return 0;
}

static void on_profile(void* user_data, const tarn_result* r) {
    flow* f = user_data;
    char* dir = NULL;
    if (failed(f, "vpn_config", r)) return;
    /* Storage calls block briefly on files; fine here, a callback only must not block for long. */
    if (tarn_storage_write_connection_profile(f->storage, r->json) != TARN_ERROR_NONE ||
        tarn_storage_connection_profile_dir(f->storage, &dir) != TARN_ERROR_NONE) {
        fprintf(stderr, "writing the profile failed: %s\n", tarn_last_error_message());
        finish(f, 1);
        return;
    }
    printf("connection profile written to %s\n", dir);
    tarn_string_free(dir);
    finish(f, 0);
}

static void on_servers(void* user_data, const tarn_result* r) {
    flow* f = user_data;
    char server[128];
    if (failed(f, "servers", r)) return;
    if (!first_available_server(r->json, server, sizeof server)) {
        fprintf(stderr, "no server is available\n");
        finish(f, 1);
        return;
    }
    printf("connecting to %s\n", server);
    tarn_call_release(tarn_client_vpn_config(f->client, server, f->device_id, "linux", on_profile, f));
}

static void on_login(void* user_data, const tarn_result* r) {
    flow* f = user_data;
    if (failed(f, "login", r)) return;
    /* The answer also holds the new token pair, which the storage already keeps: never print it. */
    printf("signed in\n");
    tarn_call_release(tarn_client_servers(f->client, on_servers, f));
}

int main(int argc, char** argv) {
    flow f;
    tarn_storage_options options;
    char keychain[4096], defaults[4096], group[4096];
    tarn_call* call;

    if (argc != 5) {
        fprintf(stderr, "usage: hello BASE_URL EMAIL PASSWORD STATE_DIR\n");
        return 2;
    }
    memset(&f, 0, sizeof f);
    snprintf(keychain, sizeof keychain, "%s/keychain", argv[4]);
    snprintf(defaults, sizeof defaults, "%s/defaults.json", argv[4]);
    /* The installer creates the group directory; without it the profile goes to a private one. */
    snprintf(group, sizeof group, "%s/group.dev.tarn.vpn", argv[4]);
    mkdir(group, 0700);

    tarn_storage_options_init(&options);
    options.keychain = TARN_KEYCHAIN_FILE;
    options.keychain_root = keychain;
    options.defaults_file = defaults;
    options.app_group_root = argv[4];
    if (tarn_storage_create(&options, &f.storage) != TARN_ERROR_NONE ||
        tarn_storage_device_id(f.storage, &f.device_id, NULL) != TARN_ERROR_NONE ||
        tarn_client_create(argv[1], NULL, f.storage, &f.client) != TARN_ERROR_NONE) {
        fprintf(stderr, "setup failed: %s\n", tarn_last_error_message());
        return 1;
    }
    printf("tarn %s, device %s\n", tarn_version(), f.device_id);

    mtx_init(&f.lock, mtx_plain);
    cnd_init(&f.done_changed);
    call = tarn_client_login(f.client, argv[2], argv[3], on_login, &f);
    tarn_call_release(call);
    mtx_lock(&f.lock);
    while (!f.done) cnd_wait(&f.done_changed, &f.lock);
    mtx_unlock(&f.lock);

    tarn_client_destroy(f.client);
    tarn_storage_destroy(f.storage);
    tarn_string_free(f.device_id);
    cnd_destroy(&f.done_changed);
    mtx_destroy(&f.lock);
    return f.status;
}
