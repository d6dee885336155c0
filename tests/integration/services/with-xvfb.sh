#!/bin/sh
# Runs a test on the private X server of xvfb-start.sh (state under $1): DISPLAY is that server's, and the
# test does not start when the server is gone, so it can never reach another run's display or the desktop's.
set -eu
dir=$1
shift
pid=$(cat "$dir/xvfb.pid" 2>/dev/null || true)
if [ -z "$pid" ] || ! kill -0 "$pid" 2>/dev/null || [ ! -s "$dir/display" ]; then
    echo "the test X server (state $dir) is not running" >&2
    exit 1
fi
DISPLAY=$(cat "$dir/display")
export DISPLAY
exec "$@"
