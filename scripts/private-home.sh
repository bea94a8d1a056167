# Sourced by the scripts that run the engine by hand: makes a private HOME in
# $home with a sound server on a null sink, as on a desktop, and a null ALSA
# default; both go at exit.
home=$(mktemp -d)
pulse=
cleanup() {
    [ -n "$pulse" ] && kill "$pulse" 2>/dev/null
    rm -rf "$home"
}
trap cleanup EXIT
if command -v pulseaudio >/dev/null; then
    HOME=$home pulseaudio --daemonize=no --exit-idle-time=-1 --use-pid-file=no -n --load=module-null-sink \
        --load="module-native-protocol-unix auth-anonymous=1 socket=$home/pulse-native" >/dev/null 2>&1 &
    pulse=$!
    export PULSE_SERVER=unix:$home/pulse-native
    for _ in $(seq 50); do
        [ -S "$home/pulse-native" ] && break
        sleep 0.1
    done
fi
printf 'pcm.!default { type null }\n' >"$home/.asoundrc"
