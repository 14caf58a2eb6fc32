#!/usr/bin/env bash
# Builds tarn and runs every test: the unit tests and the end-to-end suite,
# natively and, where MinGW-w64 and Wine are installed, for Windows under Wine.
# Set TARN_SANITIZE=1 to add a run under AddressSanitizer and UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."

werror=${TARN_WERROR:-OFF}

run_native() {
    local dir=$1; shift
    cmake -S . -B "$dir" -G Ninja -DTARN_WERROR="$werror" "$@" >/dev/null
    cmake --build "$dir"
    ctest --test-dir "$dir" --output-on-failure
}

echo "== native build"
run_native build

if [ "${TARN_SANITIZE:-0}" = 1 ]; then
    echo "== native build under AddressSanitizer and UndefinedBehaviorSanitizer"
    run_native build-sanitize -DTARN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
fi
