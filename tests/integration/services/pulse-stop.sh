#!/bin/sh
# Stops the PulseAudio server pulse-start.sh started under $1 and removes its state. Only a process that is
# still that server is signalled, never whatever later took over its process id.
dir=${1:?state folder}
for pidfile in "$dir/pulse.pid" "$dir/runtime/pid"; do
    [ -f "$pidfile" ] || continue
    pid=$(tr -dc '0-9' < "$pidfile")
    [ -n "$pid" ] || continue
    [ "$(cat "/proc/$pid/comm" 2> /dev/null)" = pulseaudio ] || continue
    kill "$pid" 2> /dev/null || continue
    for _ in $(seq 60); do
        kill -0 "$pid" 2> /dev/null || break
        sleep 0.05
    done
    kill -9 "$pid" 2> /dev/null || true
done
rm -rf "$dir"
exit 0
