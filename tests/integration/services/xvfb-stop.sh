#!/bin/sh
# Stops the X server xvfb-start.sh started under $1.
dir=$1
if [ -f "$dir/xvfb.pid" ]; then
    pid=$(cat "$dir/xvfb.pid")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
    done
    rm -f "$dir/xvfb.pid"
fi
exit 0
