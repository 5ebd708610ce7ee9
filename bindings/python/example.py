"""Signs in, lists the servers and writes the connection profile of the first available one for
the tunnel, through the Python binding.

    python3 example.py BASE_URL EMAIL PASSWORD STATE_DIR

STATE_DIR holds what an installed app keeps in the user's directories: the token file store, the
device identifier and the shared group directory the profile is written to."""

import os
import sys

import tarn


def main(argv):
    if len(argv) != 5:
        print("usage: example.py BASE_URL EMAIL PASSWORD STATE_DIR", file=sys.stderr)
        return 2
    base_url, email, password, state = argv[1:]
    # The installer creates the group directory; without it the profile goes to a private one.
    os.makedirs(os.path.join(state, "group.dev.tarn.vpn"), mode=0o700, exist_ok=True)
    storage = tarn.Storage(keychain="file", keychain_root=os.path.join(state, "keychain"),
                           defaults_file=os.path.join(state, "defaults.json"), app_group_root=state)
    with storage, tarn.Client(base_url, storage=storage) as client:
        try:
            client.login(email, password).result(60)  # the answer holds the tokens: never print it
            print("signed in")
            server = next(s for s in client.servers().result(60) if s["is_available"])
            print("connecting to", server["id"])
            profile = client.vpn_config(server["id"], storage.device_id()).result(60)
            storage.write_connection_profile(profile)
            print("connection profile written to", storage.connection_profile_dir())
        except tarn.TarnError as error:
            print("failed: %s (%s, HTTP %d)" % (error.message, error.kind, error.http_status), file=sys.stderr)
            return 1
        except StopIteration:
            print("no server is available", file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
