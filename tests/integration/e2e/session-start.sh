#!/bin/sh
# Starts the desktop session a dictation runs in, under $1: a private session bus with the accessibility
# bus switched on (as on a desktop where the user has enabled it), an unlocked GNOME Keyring, and a sound
# server whose microphone hears a steady 400 Hz tone in small pieces, as a real one does (the sine-wave
# source of the pulse fixture delivers two-second blocks, so a short dictation may hear nothing at all).
# Everything the bus starts on demand gets the private HOME and XDG folders, so nothing reaches the
# developer's own. Clients reach the sound server through PULSE_SERVER=unix:$1/pulse/native.
set -eu
dir=${1:?state folder}
sh "$(dirname "$0")/session-stop.sh" "$dir"
mkdir -p "$dir/runtime" "$dir/data" "$dir/home" "$dir/config"
chmod 700 "$dir/runtime"
export XDG_RUNTIME_DIR="$dir/runtime" XDG_DATA_HOME="$dir/data" XDG_CONFIG_HOME="$dir/config" HOME="$dir/home"
export DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/bus"
unset AT_SPI_BUS_ADDRESS
dbus-daemon --session --address="$DBUS_SESSION_BUS_ADDRESS" --fork --print-pid > "$dir/dbus.pid"
printf 'quorbell-test' | setsid gnome-keyring-daemon --foreground --unlock --components=secrets \
    > "$dir/keyring.log" 2>&1 &
echo $! > "$dir/keyring.pid"
env -u DISPLAY setsid /usr/libexec/at-spi-bus-launcher --launch-immediately --a11y=1 \
    > "$dir/launcher.log" 2>&1 &
echo $! > "$dir/launcher.pid"
# The microphone is the monitor of a null sink that a player feeds at the pace of real time with a loud
# 400 Hz tone (the fixture speech model hears it as a word). A second source, "blocks", delivers a tone two
# seconds at a time, ahead of real time, as some microphones deliver theirs.
mkdir -p "$dir/pulse/runtime" "$dir/pulse/state"
chmod 700 "$dir/pulse/runtime"
cat > "$dir/pulse/server.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1 socket=$dir/pulse/native
load-module module-null-sink sink_name=speaker
load-module module-null-sink sink_name=voice rate=44100 channels=1
set-default-sink speaker
set-default-source voice.monitor
load-module module-sine-source source_name=blocks rate=44100 frequency=400
PA
(
    export XDG_RUNTIME_DIR="$dir/pulse/runtime" PULSE_RUNTIME_PATH="$dir/pulse/runtime" \
        PULSE_STATE_PATH="$dir/pulse/state"
    unset PULSE_SERVER DBUS_SESSION_BUS_ADDRESS
    setsid pulseaudio --daemonize=no --system=false --exit-idle-time=-1 --disallow-exit -n \
        --file="$dir/pulse/server.pa" --log-target=stderr < /dev/null > "$dir/pulse/pulse.log" 2>&1 &
    echo $! > "$dir/pulse/pulse.pid"
)
export PULSE_SERVER="unix:$dir/pulse/native"
for _ in $(seq 500); do
    pactl info > /dev/null 2>&1 && break
    sleep 0.05
done
setsid sh -c 'python3 "$1" | pacat --playback --device=voice --format=s16le --rate=44100 --channels=1 \
    --latency-msec=20' player "$(dirname "$0")/tone.py" > "$dir/player.log" 2>&1 &
echo $! > "$dir/player.pid"

has_owner() {
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner "string:$1" 2> /dev/null | grep -q "boolean true"
}
for _ in $(seq 500); do
    if has_owner org.a11y.Bus && [ -f "$dir/data/keyrings/login.keyring" ] &&
        pactl list short sink-inputs 2> /dev/null | grep -q .; then
        # The monitor delivers its first samples only after a while; a dictation must not be the first to ask.
        timeout 30 parec --latency-msec=12 --format=float32le --channels=1 --rate=44100 --device=voice.monitor \
            2> /dev/null | head -c 8192 > /dev/null
        dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus \
            org.freedesktop.DBus.Properties.Set string:org.a11y.Status string:IsEnabled variant:boolean:true \
            > /dev/null
        exit 0
    fi
    sleep 0.05
done
echo "the desktop session did not come up:" >&2
cat "$dir/launcher.log" "$dir/keyring.log" >&2
sh "$(dirname "$0")/session-stop.sh" "$dir"
exit 1
