#!/bin/sh
# Starts a private PulseAudio server with its state under $1: a silent null sink as the speaker and a 440 Hz
# sine wave at 44.1 kHz as the microphone. Clients reach it through PULSE_SERVER=unix:$1/native. It runs as
# an ordinary per-user daemon even as root (CI), with its runtime, state and home folders under $1.
set -eu
dir=${1:?state folder}
here=$(dirname "$0")
sh "$here/pulse-stop.sh" "$dir"
mkdir -p "$dir/runtime" "$dir/state" "$dir/home"
chmod 700 "$dir/runtime"
cat > "$dir/server.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1 socket=$dir/native
load-module module-null-sink sink_name=speaker
load-module module-sine-source source_name=microphone rate=44100 frequency=440
set-default-sink speaker
set-default-source microphone
PA
export HOME="$dir/home" XDG_RUNTIME_DIR="$dir/runtime" PULSE_RUNTIME_PATH="$dir/runtime" \
    PULSE_STATE_PATH="$dir/state"
unset PULSE_SERVER DBUS_SESSION_BUS_ADDRESS
# -n: none of the system's default modules, only ours; --disallow-exit: no client can stop it.
setsid pulseaudio --daemonize=no --system=false --exit-idle-time=-1 --disallow-exit -n \
    --file="$dir/server.pa" --log-target=stderr < /dev/null > "$dir/pulse.log" 2>&1 &
echo $! > "$dir/pulse.pid"
for _ in $(seq 600); do
    if PULSE_SERVER="unix:$dir/native" pactl info > /dev/null 2>&1; then
        exit 0
    fi
    kill -0 "$(cat "$dir/pulse.pid")" 2> /dev/null || break
    sleep 0.05
done
echo "PulseAudio did not come up:" >&2
cat "$dir/pulse.log" >&2
sh "$here/pulse-stop.sh" "$dir"
exit 1
