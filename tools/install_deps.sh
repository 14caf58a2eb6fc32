#!/usr/bin/env bash
# Installs what building and testing tarn needs and this machine lacks, with
# apt-get, as root or through sudo. Where it cannot install, it names the
# packages and fails; only the Windows half may be missing, and is then
# skipped by the tests. Further needs come as COMMAND=PACKAGE arguments.
set -euo pipefail

have() { command -v "$1" >/dev/null; }
need=()
have cmake || need+=(cmake)
have ninja || need+=(ninja-build)
have g++ || need+=(g++)
have python3 || need+=(python3)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
for pair in "$@"; do
    have "${pair%%=*}" || need+=("${pair#*=}")
done
# The Windows half: the cross compiler, GoogleTest's sources to build for it,
# Wine to run the result, and the Japanese locale (code page 932 under Wine)
# for the double-byte name tests.
windows=()
[ -d /usr/src/googletest ] || windows+=(googletest)
have x86_64-w64-mingw32-g++-posix || windows+=(g++-mingw-w64-x86-64-posix)
have wine || windows+=(wine wine64)
[ -f /usr/share/i18n/locales/ja_JP ] || windows+=(locales)

if [ "$(id -u)" = 0 ]; then
    as_root=()
elif have sudo; then
    as_root=(sudo)
else
    as_root=(cannot)
fi
wanted=("${need[@]}" "${windows[@]}")
if [ ${#wanted[@]} -gt 0 ]; then
    if [ "${as_root[*]}" != cannot ] && have apt-get; then
        echo "== installing: ${wanted[*]}"
        # No questions asked: this also runs with no terminal at all.
        "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
        "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
            apt-get install -y -q --no-install-recommends "${wanted[@]}"
    elif [ ${#need[@]} -gt 0 ]; then
        echo "Missing: ${need[*]}. Install these packages (apt-get install as root)" \
             "and run the command again." >&2
        exit 1
    else
        echo "== not installed (needs root or sudo): ${windows[*]}"
    fi
fi

if have wine && have localedef && ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf8'; then
    if [ "${as_root[*]}" != cannot ]; then
        "${as_root[@]}" localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
    else
        echo "== the locale ja_JP.UTF-8 is missing (needs root or sudo to make)"
    fi
fi
