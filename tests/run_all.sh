#!/usr/bin/env bash
# Installs what the tests need and the machine lacks (tools/install_deps.sh),
# builds tarn and runs every test: the unit tests, the end-to-end suite, the
# fault test and the README's examples, natively and, where MinGW-w64 and Wine
# are installed, for Windows under Wine (which CTest starts once for all of
# its tests). TARN_SANITIZE=1 adds a run under AddressSanitizer and UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install_deps.sh

run() {
    local title=$1 dir=$2; shift 2
    echo "== $title"
    cmake -S . -B "$dir" -G Ninja -DTARN_WERROR="${TARN_WERROR:-OFF}" "$@" >/dev/null
    cmake --build "$dir"
    ctest --test-dir "$dir" --output-on-failure --no-tests=error
}

run "native build" build
if [ "${TARN_SANITIZE:-0}" = 1 ]; then
    run "native build under AddressSanitizer and UndefinedBehaviorSanitizer" build-sanitize \
        -DTARN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
fi
# tools/install_deps.sh has said above what it could not install.
if command -v x86_64-w64-mingw32-g++-posix >/dev/null && command -v wine >/dev/null; then
    start=$(date +%s)
    run "Windows build with MinGW-w64, tested under Wine" build-win \
        -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
    echo "== Windows half took $(( $(date +%s) - start )) s"
else
    echo "== Windows build SKIPPED: MinGW-w64 (g++-mingw-w64-x86-64-posix) or Wine is not installed."
fi
