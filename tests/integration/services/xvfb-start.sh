#!/bin/sh
# Starts a private X server (Xvfb) on a display it picks itself, state under $1: the display name goes to
# $1/display, so test runs side by side on one machine never share a server.
set -eu
dir=$1
sh "$(dirname "$0")/xvfb-stop.sh" "$dir"
mkdir -p "$dir"
rm -f "$dir/display"
: > "$dir/display.number" # exists before the server writes to it
# -displayfd: Xvfb takes a free display number and writes it to descriptor 3 once it listens.
# -nolisten tcp: only the local socket; +extension XTEST/XInputExtension for synthetic and raw key events.
setsid Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp +extension XTEST +extension XInputExtension \
    3> "$dir/display.number" > "$dir/xvfb.log" 2>&1 &
pid=$!
echo "$pid" > "$dir/xvfb.pid"
for _ in $(seq 600); do
    if ! kill -0 "$pid" 2>/dev/null; then
        break
    fi
    number=$(tr -dc '0-9' < "$dir/display.number")
    if [ -n "$number" ] && [ -S "/tmp/.X11-unix/X$number" ]; then
        echo ":$number" > "$dir/display"
        exit 0
    fi
    sleep 0.05
done
echo "Xvfb did not come up:" >&2
cat "$dir/xvfb.log" >&2
exit 1
