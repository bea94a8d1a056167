#!/usr/bin/env bash
# Installs the Debian packages the engine, its tests and its demo need; with
# --build, only what building the engine and its Debian package needs; with
# --format, only what scripts/format.sh needs; with --bench, all of it and the
# players the benchmark's seek step measures beside the engine.
# Quick and silent when everything is already there.
set -euo pipefail

build=(
    g++ cmake make pkg-config
    libvlc-dev libvlccore-dev vlc-plugin-base
    dpkg-dev file
)
format=(clang-format)
# GStreamer through Debian's own Python, and mpv.
peers=(python3-gst-1.0 gstreamer1.0-plugins-good gstreamer1.0-libav mpv)
packages=(
    "${build[@]}"
    "${format[@]}"
    ffmpeg
    libgtest-dev nlohmann-json3-dev
    pulseaudio
    clang libclang-rt-14-dev
    python3 openssl
    chromium
)
case "${1:-}" in
--build) packages=("${build[@]}") ;;
--format) packages=("${format[@]}") ;;
--bench) packages+=("${peers[@]}") ;;
esac
# The host library needs Node 20 or later; the machines here come with it.
[ "${1:-}" = --build ] || command -v node >/dev/null || packages+=(nodejs npm)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
    echo "setup: run as root to install packages" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
