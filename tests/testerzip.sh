#!/usr/bin/env bash
# Tries a testers' zip (64-bit or 32-bit) on a machine where nothing else is
# installed: a new, empty Wine prefix (64-bit with its 32-bit side, as 64-bit
# Windows), made again on every run apart from the build's own test prefix,
# with the zip unpacked into C:\. The console must say that the
# maker's filters are missing, play the default graph to its end once the
# demo kit's register.cmd has run, and miss them again after unregister.cmd.
#
#   testerzip.sh <zip> <scratch folder> <driver>
#
# The driver (testerzip_tests.exe) drives the console's windows, one case a run.
set -euo pipefail

ZIP=$1
WORK=$2
DRIVER=$3

export WINEPREFIX=$WORK/wineprefix
export WINEARCH=win64
export WINEDEBUG=-all

log() { printf 'testerzip: %s\n' "$*" >&2; }

rm -rf "$WORK"
mkdir -p "$WORK"
log "creating the empty Wine prefix $WINEPREFIX"
WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY= wineboot -i >/dev/null 2>&1 || true
wineserver -w
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    log "wineboot made no prefix"
    exit 1
fi
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
# One wineserver for the whole run. Its first process starts Wine's own
# services, which outlive it: start them here, away from the cases' output.
wineserver -p >/dev/null 2>&1
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
# The kit's RTMP server listens while the default graph plays: on a port of
# this scratch folder's own, not on the usual 1935 that another run may hold.
wine reg add 'HKCU\Software\Velk\RTMP Server' /v Port /t REG_DWORD \
    /d $((20000 + $(printf '%s' "$WORK" | cksum | cut -d' ' -f1) % 20000)) /f </dev/null >/dev/null 2>&1

# The zip holds one folder named as the zip (Skerry-<version>-win64 or
# -win32), with these files and no others (GraphPersist.dll stays out:
# Windows' own graph manager saves graphs).
FOLDER=$(basename "$ZIP" .zip)
EXPECTED="$FOLDER/Readme.txt
$FOLDER/Skerry.exe
$FOLDER/demo-kit/VelkFilters.dll
$FOLDER/demo-kit/graphedt.exe
$FOLDER/demo-kit/proppage.dll
$FOLDER/demo-kit/register.cmd
$FOLDER/demo-kit/unregister.cmd"
(cd "$WINEPREFIX/drive_c" && cmake -E tar xf "$ZIP")
FOUND=$(cd "$WINEPREFIX/drive_c" && find "$FOLDER" -type f | LC_ALL=C sort)
if [ "$FOUND" != "$EXPECTED" ]; then
    log "$ZIP holds"
    printf '%s\n' "$FOUND" >&2
    log "instead of"
    printf '%s\n' "$EXPECTED" >&2
    exit 1
fi
export SKERRY_EXE="C:\\$FOLDER\\Skerry.exe"
KIT="C:\\$FOLDER\\demo-kit"

# Runs one case of the driver; a filter that matches no case fails too.
run_case() {
    local out=$WORK/$1.log
    log "$1"
    local status=0
    wine "$DRIVER" --gtest_filter="TesterZipTest.$1" </dev/null >"$out" 2>&1 || status=$?
    cat "$out"
    [ "$status" = 0 ] && grep -q '^\[  PASSED  \] 1 test\.' "$out"
}

# Runs one of the kit's scripts as a tester does, from a command prompt.
run_script() {
    log "$KIT\\$1"
    wine cmd /c "$KIT\\$1" </dev/null
}

run_case WithoutTheFiltersDefaultGraphSaysTheClassIsNotRegistered
run_script register.cmd
run_case WithTheDemoKitDefaultGraphPlaysToTheEnd
run_script unregister.cmd
run_case WithoutTheFiltersDefaultGraphSaysTheClassIsNotRegistered
