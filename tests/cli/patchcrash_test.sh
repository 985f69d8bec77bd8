#!/usr/bin/env bash
# Crash consistency of an upgrade that comes as patches. A release made by sendrift-publish
# from a 1.0 folder (a 6 MiB Big.bin with 1.5 MiB changed and a small Bin\Small.dll, each
# published as a patch against 1.0, and two files that come whole) is served by a real HTTP
# server; `sendrift --unattended` is killed with SIGKILL at exact system calls of the patch's
# download, its rebuild, its verification and the journal write that follows (strace's fault
# injection), and a second `sendrift --unattended` continues the journal. Once more with a
# patch that rebuilds the wrong bytes, killed after the fallback has begun to fetch the file
# whole, and with an installed file that changes before the next run, which then fetches the
# file whole. Every continued upgrade must end in the application folder of an uninterrupted
# one, byte for byte: the journal gone, setup.ini at 2.0, nothing left in Update.
# Usage: patchcrash_test.sh SENDRIFT_BINARY SENDRIFT_PUBLISH
set -euo pipefail
program=$1
publish=$2
source "$(dirname "$0")/../../scripts/lib/wizard_x11.sh"

if ! command -v strace >/dev/null || ! strace -o /dev/null true 2>/dev/null; then
    echo "SKIP: strace is missing or cannot trace here"
    exit 77
fi
# strace matches paths as the program writes them: absolute, without symbolic links.
work=$(cd "$(mktemp -d)" && pwd -P)
# shellcheck disable=SC2034 # the request log of scripts/lib/wizard_x11.sh
SERVER_LOG=$work/requests.log
trap 'stop_update_server; rm -rf "$work"' EXIT
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY
started=$EPOCHSECONDS

fail() {
    echo "FAIL: $*"
    exit 1
}

# The two releases laid out as installed.
mkdir -p "$work/1.0/Bin" "$work/2.0/Bin"
head -c $((6 * 1048576)) /dev/urandom >"$work/1.0/Big.bin"
{
    head -c $((2 * 1048576)) "$work/1.0/Big.bin"
    head -c $((1536 * 1024)) /dev/urandom
    tail -c +$((3584 * 1024 + 1)) "$work/1.0/Big.bin"
} >"$work/2.0/Big.bin"
head -c 40000 /dev/urandom >"$work/1.0/Bin/Small.dll"
{ cat "$work/1.0/Bin/Small.dll" && echo "build 2.0"; } >"$work/2.0/Bin/Small.dll"
echo "readme 1.0" >"$work/1.0/Readme.txt"
echo "readme 2.0" >"$work/2.0/Readme.txt"
echo "new in 2.0" >"$work/2.0/New.txt"

server=$work/server
"$publish" release "$work/2.0" --version 2.0 --from "1.0=$work/1.0" --out "$server/Update" \
    >"$work/release.txt" || fail "release failed: $(cat "$work/release.txt")"
manifest=$server/Update/Version.ini
[ "$(ini_keys "$manifest" DELTA | tr '\n' ' ')" = 'Big.bin Bin\Small.dll ' ] ||
    fail "[DELTA] does not list the patches of Big.bin and Bin\\Small.dll"
# Where the program puts the patch of Big.bin, below the application folder.
big_patch=$(ini_value "$manifest" DELTA Big.bin)
big_patch=Update/${big_patch#*;}
big_patch=${big_patch//\\//}

# The same release in the update folder Tampered, but its patch of Big.bin is made against
# another Big.bin, which holds 2.0's changed part, while [DELTA] says it fits the installed
# one: the patch arrives whole and verified, and rebuilds 1.0's bytes in that part.
mkdir -p "$work/other"
cp -r "$work/1.0/." "$work/other"
{ head -c 1000 /dev/urandom && tail -c +1001 "$work/2.0/Big.bin"; } >"$work/other/Big.bin"
"$publish" release "$work/2.0" --version 2.0 --from "1.0=$work/other" \
    --out "$server/Tampered" >"$work/release.txt" || fail "release failed: $(cat "$work/release.txt")"
installed_digest=$(sha256sum "$work/1.0/Big.bin" | cut -d' ' -f1)
sed -i "s/^Big\.bin=[0-9a-f]\{64\};/Big.bin=$installed_digest;/" "$server/Tampered/Version.ini"
grep -q "^Big\.bin=$installed_digest;" "$server/Tampered/Version.ini" ||
    fail "the Tampered release's [DELTA] was not rewritten"

# Every file of the release has its [SIZE], so no size query goes to the program's built-in
# address: the server listens on any free port, which setup.ini names.
free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
for _ in 1 2 3 4 5; do
    port=$(free_port)
    status=0
    start_update_server python3 -u -m http.server "$port" --bind 127.0.0.1 \
        --directory "$server" || status=$?
    [ "$status" -eq 3 ] || break
done
[ "$status" -eq 0 ] || fail "the update server did not start"

# One copy of the program that every application folder links to.
cp "$program" "$work/sendrift"

# Lays out an installation of 1.0 in the application folder $1 that takes its updates from the
# update folder $2 on the server.
lay_out() {
    mkdir -p "$1"
    cp -r "$work/1.0/." "$1"
    ln "$work/sendrift" "$1/sendrift"
    printf '%s\r\n' "[CONNECT]" "URL=http://127.0.0.1:$port" "Path=$2" "[VERSION]" \
        "VERSION=1.0" >"$1/setup.ini"
}

# Runs `sendrift --unattended` in the application folder $1 with the launcher "${@:2}" (none,
# or strace and its arguments), without a display, output appended to $1.out; sets `code`.
run_unattended() {
    local app=$1
    shift
    code=0
    # The shell's own notice of a killed run is no news here.
    { (cd "$work" && exec env -u DISPLAY -u WAYLAND_DISPLAY "$@" "$app/sendrift" --unattended) \
        >>"$app.out" 2>&1; } 2>/dev/null || code=$?
}

# Compares the application folder $1 with the uninterrupted upgrade from its update folder.
# sendrift.log differs between runs: its lines carry times, and a continued run logs its start.
same_as_reference() {
    diff -r -x sendrift.log "$work/reference-$2" "$1" >"$work/diff.txt" ||
        fail "$1 ended differently (< the uninterrupted upgrade): $(cat "$work/diff.txt")"
}

# Files that only an interrupted download, rebuild or journal write leaves below the folder $1.
leftovers() { find "$1" -type f \( -path "$1/Update/*" -o -name '*.sendrift-new' \); }

for folder in Update Tampered; do
    echo "-- an uninterrupted upgrade from $folder"
    app=$work/reference-$folder
    lay_out "$app" "$folder"
    mark=$(log_lines)
    run_unattended "$app"
    [ "$code" -eq 0 ] || fail "exit code $code: $(cat "$app.out")"
    (cd "$work/2.0" && find . -type f) | while read -r file; do cmp "$work/2.0/$file" "$app/$file"; done ||
        fail "$folder: the installed files are not 2.0's"
    [ "$(ini_value "$app/setup.ini" VERSION VERSION)" = 2.0 ] || fail "setup.ini does not hold 2.0"
    [ ! -e "$app/Version.ini" ] || fail "the journal stayed"
    [ -z "$(leftovers "$app")" ] || fail "the upgrade left $(leftovers "$app")"
    requested_since "$mark" "GET /$folder/.delta/Big.bin." || fail "the patch was not fetched"
done
! requested_since 0 "GET /Update/Big.bin " || fail "Big.bin was fetched whole beside its patch"
grep -q "Big.bin is fetched whole instead" "$work/reference-Tampered/sendrift.log" ||
    fail "the wrong patch's rebuild was not given up: $(cat "$work/reference-Tampered/sendrift.log")"

# Where the killed run is killed: its update folder, the system call, the path it acts on below
# the application folder, the call's invocation on that path that is killed (counted per
# thread), and what happens before the next run ("edit": the installed Big.bin changes, so
# that the next run no longer takes the patch and fetches Big.bin whole). The killed call does
# not happen: a file is not renamed or deleted, a write leaves the file as it stood before it.
# A patch is written as "<name>.part" in writes of 1 MiB and renamed to its name when complete;
# the file is rebuilt beside its place in Update as "<name>.sendrift-new" in pieces of at most
# 128 KiB, flushed and renamed into place; then the patch is deleted. Big.bin is first in the
# list, so the first journal write follows its rebuild.
kill_points=(
    "Update write $big_patch.part 1 - the patch opened, nothing of it written"
    "Update write $big_patch.part 2 - the patch partly written"
    "Update rename $big_patch.part 1 - the patch complete, not yet under its name"
    "Update openat Update/Big.bin.sendrift-new 1 - the patch arrived, its rebuild not begun"
    "Update write Update/Big.bin.sendrift-new 20 - the rebuilt file partly written"
    "Update fsync Update/Big.bin.sendrift-new 1 - the rebuilt file written, not flushed"
    "Update rename Update/Big.bin.sendrift-new 1 - the rebuilt file verified, not yet under its name"
    "Update unlink $big_patch 1 - the file rebuilt, its patch not yet deleted"
    "Update rename Update/Bin/Small.dll.sendrift-new 1 - the small file verified, not yet in place"
    "Update rename Version.ini.sendrift-new 1 - Big.bin rebuilt, its journal move not written"
    "Tampered unlink Update/Big.bin.sendrift-new 1 - the rebuild found wrong, its bytes not yet removed"
    "Tampered write Update/Big.bin.part 1 - the file's download begun after the wrong rebuild"
    "Tampered write Update/Big.bin.part 3 - the file partly fetched after the wrong rebuild"
    "Update write $big_patch.part 2 edit the patch partly written; then Big.bin comes whole"
    "Update write Update/Big.bin.sendrift-new 20 edit the rebuild begun; then Big.bin comes whole"
)

number=0
for point in "${kill_points[@]}"; do
    read -r folder call path when afterwards what <<<"$point"
    number=$((number + 1))
    echo "-- kill $number, from $folder: $call $path #$when ($what)"
    app=$work/kill$number
    lay_out "$app" "$folder"
    run_unattended "$app" strace -f -qq -o /dev/null -P "$app/$path" \
        -e trace="$call" -e inject="$call":signal=KILL:when="$when"
    [ "$code" -eq 137 ] || fail "the run was not killed: exit code $code: $(cat "$app.out")"
    if [ "$call" != openat ]; then [ -e "$app/$path" ] || fail "$path is missing after the kill"; fi
    if [ "$call" = write ]; then
        # What the writes before the killed one wrote: nothing before the first.
        expected=written found=written
        [ "$when" -gt 1 ] || expected=empty
        [ -s "$app/$path" ] || found=empty
        [ "$found" = "$expected" ] || fail "$path is $found after the kill in write $when"
    fi
    [ -e "$app/Version.ini" ] && [ "$(ini_value "$app/setup.ini" VERSION VERSION)" = 1.0 ] ||
        fail "the killed run left no journal, or recorded a version"

    [ "$afterwards" = - ] || echo "edited after the kill" >>"$app/Big.bin"
    mark=$(log_lines)
    run_unattended "$app"
    [ "$code" -eq 0 ] || fail "the continued run's exit code is $code: $(cat "$app.out")"
    same_as_reference "$app" "$folder"
    if [ "$folder" = Update ] && [ "$afterwards" = - ]; then
        ! requested_since "$mark" "GET /Update/Big.bin " || fail "the continued run fetched Big.bin whole"
    fi
done
echo "PASS in $((EPOCHSECONDS - started)) s"
