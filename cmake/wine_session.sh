#!/bin/sh
# Starts or ends the Wine session the Windows tests run in (WINEPREFIX and
# the other Wine variables come from the test's environment).
#
#   wine_session.sh start WINESERVER WINE   -- one persistent server, booted
#   wine_session.sh stop WINESERVER         -- ends it with all it runs
#
# Booting once up front matters for more than speed: the system processes
# Wine starts with the first program inherit that program's standard
# handles, and would keep a test's output pipes open as long as they live.
# Booted here, they hold /dev/null instead.
set -e
action=$1
wineserver=$2
case $action in
start)
    wine=$3
    # A new prefix is filled in by the first program Wine starts in it.
    mkdir -p "${WINEPREFIX:?}"
    "$wineserver" -p </dev/null >/dev/null 2>&1
    "$wine" wineboot </dev/null >/dev/null 2>&1
    ;;
stop)
    "$wineserver" -k || true
    ;;
*)
    echo "usage: $0 start WINESERVER WINE | stop WINESERVER" >&2
    exit 2
    ;;
esac
