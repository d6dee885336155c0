#!/bin/sh
# Stops what session-start.sh started under $1.
dir=${1:?state folder}
if [ -f "$dir/launcher.pid" ]; then
    pid=$(cat "$dir/launcher.pid")
    kill -- "-$pid" 2> /dev/null || kill "$pid" 2> /dev/null || true
    rm -f "$dir/launcher.pid"
fi
if [ -f "$dir/player.pid" ]; then
    # The player and its tone generator share a process group.
    kill -- "-$(cat "$dir/player.pid")" 2> /dev/null || true
    rm -f "$dir/player.pid"
fi
for pidfile in "$dir/keyring.pid" "$dir/dbus.pid"; do
    if [ -f "$pidfile" ]; then
        kill "$(cat "$pidfile")" 2> /dev/null || true
        rm -f "$pidfile"
    fi
done
sh "$(dirname "$0")/../services/pulse-stop.sh" "$dir/pulse"
rm -rf "$dir/runtime" "$dir/data" "$dir/bus"
exit 0
