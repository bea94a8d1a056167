#!/usr/bin/env bash
# Builds the Debian package of the engine from a Release build of its own
# (build-release/, kept between runs) and copies it into OUTDIR:
#   scripts/package.sh [OUTDIR]   (default build/; prints the package's path)
# Install it with: apt-get install ./build/vexolo-engine_<version>_<arch>.deb
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build}")

scripts/setup.sh --build
# No run-time search path in the installed executable: under /usr it would
# only point at folders that do not exist. The system's libvlc is found as
# every other library is.
# Debian's hardening as its own packages have it: fortified string functions,
# a stack protector, relocations read-only and bound at start.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DCMAKE_SKIP_INSTALL_RPATH=ON \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build build-release -j"$(nproc)" >/dev/null
rm -f build-release/vexolo-engine_*.deb
(cd build-release && cpack -G DEB >cpack.log 2>&1) || { cat build-release/cpack.log >&2; exit 1; }
mkdir -p "$out"
deb=$(ls build-release/vexolo-engine_*.deb)
cp "$deb" "$out/"
echo "$out/$(basename "$deb")"
