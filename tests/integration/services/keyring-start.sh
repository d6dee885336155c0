#!/bin/sh
# Starts a private session bus and an unlocked GNOME Keyring under $1, for the keyring tests.
set -eu
dir=$1
sh "$(dirname "$0")/keyring-stop.sh" "$dir"
mkdir -p "$dir/runtime" "$dir/data" "$dir/home"
chmod 700 "$dir/runtime"
export XDG_RUNTIME_DIR="$dir/runtime" XDG_DATA_HOME="$dir/data" HOME="$dir/home"
export DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/bus"
dbus-daemon --session --address="$DBUS_SESSION_BUS_ADDRESS" --fork --print-pid > "$dir/dbus.pid"
# A non-empty password makes the daemon create and unlock the login collection.
printf 'quorbell-test' | setsid gnome-keyring-daemon --foreground --unlock --components=secrets \
    > "$dir/keyring.log" 2>&1 &
echo $! > "$dir/keyring.pid"
for _ in $(seq 300); do
    [ -f "$dir/data/keyrings/login.keyring" ] && exit 0
    sleep 0.1
done
echo "keyring did not come up" >&2
exit 1
