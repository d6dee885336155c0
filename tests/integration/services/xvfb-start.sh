#!/bin/sh
# Starts a private X server (Xvfb) on the display named by QB_TEST_DISPLAY (default :47), state under $1.
set -eu
dir=$1
display=${QB_TEST_DISPLAY:-:47}
sh "$(dirname "$0")/xvfb-stop.sh" "$dir"
mkdir -p "$dir"
# -nolisten tcp: only the local socket; +extension XTEST/XInputExtension for synthetic and raw key events.
setsid Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp +extension XTEST +extension XInputExtension \
    > "$dir/xvfb.log" 2>&1 &
echo $! > "$dir/xvfb.pid"
number=${display#:}
for _ in $(seq 100); do
    [ -S "/tmp/.X11-unix/X$number" ] && exit 0
    sleep 0.05
done
echo "Xvfb did not come up on $display:" >&2
cat "$dir/xvfb.log" >&2
exit 1
