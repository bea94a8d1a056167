# Sourced by the scripts that run the engine by hand: makes a private HOME in
# $home whose ALSA default is a card that is not there (no sound device) and,
# when pulseaudio is installed, a sound server of its own on a null sink, as
# on a desktop; both go at exit. The tests' private homes (sdk/test/helpers.ts
# quietEnv, soundEnv) are the same.
home=$(mktemp -d)
pulse=
cleanup() {
    if [ -n "$pulse" ]; then
        kill "$pulse" 2>/dev/null || true
        wait "$pulse" 2>/dev/null || true
    fi
    rm -rf "$home"
}
trap cleanup EXIT
printf 'pcm.!default { type hw card 31 }\n' >"$home/.asoundrc"
unset PULSE_SERVER
if command -v pulseaudio >/dev/null; then
    HOME=$home pulseaudio --daemonize=no --exit-idle-time=-1 --use-pid-file=no -n --load=module-null-sink \
        --load="module-native-protocol-unix auth-anonymous=1 socket=$home/pulse-native" </dev/null >/dev/null 2>&1 &
    pulse=$!
    for _ in $(seq 500); do
        [ -S "$home/pulse-native" ] && break
        kill -0 "$pulse" 2>/dev/null || break
        sleep 0.01
    done
    if [ -S "$home/pulse-native" ]; then
        export PULSE_SERVER=unix:$home/pulse-native
    else
        echo "private home: the sound server did not start; going on without it" >&2
    fi
fi
