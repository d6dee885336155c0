#!/bin/sh
# Starts a private session bus and the accessibility bus launcher under $1, for the AT-SPI tests. The
# accessibility bus starts switched off (org.a11y.Status.IsEnabled false), as on a desktop where nobody has
# enabled it yet.
set -eu
dir=$1
sh "$(dirname "$0")/a11y-stop.sh" "$dir"
mkdir -p "$dir/runtime"
chmod 700 "$dir/runtime"
export XDG_RUNTIME_DIR="$dir/runtime" DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/bus"
dbus-daemon --session --address="$DBUS_SESSION_BUS_ADDRESS" --fork --print-pid > "$dir/dbus.pid"
# In a process group of its own with the accessibility bus and registry it starts, so the stop script ends
# them together. Without DISPLAY it publishes the bus address on the session bus only.
env -u DISPLAY setsid /usr/libexec/at-spi-bus-launcher --launch-immediately --a11y=0 \
    > "$dir/launcher.log" 2>&1 &
echo $! > "$dir/launcher.pid"
# Asking org.a11y.Bus itself before the launcher owns the name would make the session bus start a second
# launcher with default settings, so wait for the name's owner instead.
for _ in $(seq 600); do
    if dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:org.a11y.Bus 2> /dev/null | grep -q "boolean true"; then
        exit 0
    fi
    sleep 0.05
done
echo "the accessibility bus did not come up:" >&2
cat "$dir/launcher.log" >&2
exit 1
