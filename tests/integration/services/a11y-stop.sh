#!/bin/sh
# Stops what a11y-start.sh started under $1.
dir=$1
if [ -f "$dir/launcher.pid" ]; then
    pid=$(cat "$dir/launcher.pid")
    kill -- "-$pid" 2>/dev/null || kill "$pid" 2>/dev/null || true
    rm -f "$dir/launcher.pid"
fi
if [ -f "$dir/dbus.pid" ]; then
    kill "$(cat "$dir/dbus.pid")" 2>/dev/null || true
    rm -f "$dir/dbus.pid"
fi
rm -rf "$dir/runtime" "$dir/bus"
exit 0
