#!/usr/bin/env bash
# Installs what the tests need and the machine lacks (tools/install_deps.sh),
# builds tarn and runs every test: the unit tests, the end-to-end suite and the
# README's examples, natively and, where MinGW-w64 and Wine are installed, for
# Windows under Wine.
# Set TARN_SANITIZE=1 to add a run under AddressSanitizer and UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."

werror=${TARN_WERROR:-OFF}
bash tools/install_deps.sh

run_native() {
    local dir=$1; shift
    cmake -S . -B "$dir" -G Ninja -DTARN_WERROR="$werror" "$@" >/dev/null
    cmake --build "$dir"
    ctest --test-dir "$dir" --output-on-failure --no-tests=error
}

echo "== native build"
run_native build

if [ "${TARN_SANITIZE:-0}" = 1 ]; then
    echo "== native build under AddressSanitizer and UndefinedBehaviorSanitizer"
    run_native build-sanitize -DTARN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
fi

# The Windows half: cross-built with MinGW-w64 and run under Wine, which CTest
# starts once for all Windows tests (see tests/CMakeLists.txt).
missing=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=("x86_64-w64-mingw32-g++-posix (g++-mingw-w64-x86-64-posix)")
command -v wine >/dev/null || missing+=("wine (wine, wine64)")
if [ ${#missing[@]} -eq 0 ]; then
    echo "== Windows build with MinGW-w64, tested under Wine"
    windows_start=$(date +%s)
    cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
        -DTARN_WERROR="$werror" >/dev/null
    cmake --build build-win
    ctest --test-dir build-win --output-on-failure --no-tests=error
    echo "== Windows half took $(( $(date +%s) - windows_start )) s"
else
    echo "== Windows build SKIPPED: not installed: ${missing[*]}."
    echo "   Install them with apt-get as root to build and test tarn.exe."
fi
