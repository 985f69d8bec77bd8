#!/usr/bin/env bash
# A build with a manifest key in a real X server, against releases that sendrift-publish signs:
# (a) a release signed with --key is installed; (b) a freshness statement that expired days ago
# stops the version check on its failure page, with nothing fetched beyond the statement, and a
# refreshed statement lets the retry through; (c) after `rotate` to a key that the build does
# not list, an installation follows the rotation, upgrades, retires the old key, and then
# refuses a release signed by the old key alone.
# Usage: trust_x11_test.sh SENDRIFT_SIGNED_BINARY BUILT_IN_SERVER_URL SENDRIFT_PUBLISH
#        KEY_FOLDER PICTURE_FOLDER   (run under xvfb-run)
# SENDRIFT_SIGNED_BINARY trusts the public key of KEY_FOLDER/old.key only.
set -euo pipefail
program=$1
server_url=$2
publish=$3
keys=$4
pictures=$5
source "$(dirname "$0")/wizard_test_lib.sh"
source "$(dirname "$0")/click_through_lib.sh"
command -v faketime >/dev/null || fail "faketime is missing (scripts/setup installs it)"
mkdir -p "$pictures"

# sendrift-publish takes no secret key that others may read, and git keeps no file modes.
install -m 0600 "$keys/old.key" "$work/old.key"
install -m 0600 "$keys/new.key" "$work/new.key"
old_key=$(cat "$keys/old.pub")
new_key=$(cat "$keys/new.pub")

# Versions 1.0, 2.0 and 3.0 as installed.
for version in 1.0 2.0 3.0; do
    mkdir -p "$work/$version"
    echo "main $version" >"$work/$version/Main.exe"
    echo "data $version" >"$work/$version/Data.pak"
done

# The release of 2.0 for 1.0 into the served folder, signed with the old key.
published=$server/Update
"$publish" release "$work/2.0" --version 2.0 --from "1.0=$work/1.0" --key "$work/old.key" \
    --out "$published" >/dev/null || fail "the signed release failed"

# Succeeds when the requests after the first $1 lines hold one GET of the freshness statement,
# and it came last.
statement_came_last_since() {
    [ "$(requests_since "$1" | grep -c '"GET /Update/Version.txt.fresh ')" -eq 1 ] &&
        requests_since "$1" | tail -n1 | grep -qF '"GET /Update/Version.txt.fresh '
}

# Clicks the main button of the wizard in `window` (labelled $2) for a version check, and checks
# that the check ($1 names the part of the test) stopped at the freshness statement: it asked
# for Version.txt and then the statement, and nothing after it.
click_to_refused_statement() {
    local mark
    mark=$(log_lines)
    click_until "$window" main 5 requested_since "$mark" "GET /Update/Version.txt" ||
        fail "$1: $2 asked for no version"
    wait_until 10 statement_came_last_since "$mark" || fail "$1: the statement was not fetched"
    server_quiet || fail "$1: the check went on after the statement"
}

# Checks that the installation $1 at version 1.0 fetched and installed nothing.
untouched() {
    [ ! -e "$1/Version.ini" ] && [ ! -e "$1/Version.ini.download" ] ||
        fail "$1: a manifest was kept"
    [ ! -e "$1/Update" ] || fail "$1: Update/ was made"
    [ "$(cat "$1/Main.exe")" = "main 1.0" ] || fail "$1: Main.exe changed"
    [ "$(ini_value "$1/setup.ini" VERSION VERSION)" = 1.0 ] || fail "$1: setup.ini VERSION"
}

serve_on_built_in_address

echo "-- (a) a signed release installed"
app=$work/app-a
lay_out_release_install "$app" 1.0
click_through_published_upgrade "$app" 1.0
cmp -s "$work/2.0/Main.exe" "$app/Main.exe" && cmp -s "$work/2.0/Data.pak" "$app/Data.pak" ||
    fail "(a): the installed files are not 2.0's"
[ "$(ini_value "$app/setup.ini" VERSION VERSION)" = 2.0 ] || fail "(a): setup.ini VERSION"
grep -q "^serial [0-9]* http://127\.0\.0\.1:[0-9]*/Update/\$" "$app/sendrift.state" ||
    fail "(a): sendrift.state holds no serial: $(cat "$app/sendrift.state")"

echo "-- (b) a frozen statement"
# Signed three days ago, valid for one day: expired two days ago, far past the hour of skew.
# faketime preloads its library, which a build with AddressSanitizer accepts only when told.
ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0 \
    faketime -f -3d "$publish" refresh "$published" --key "$work/old.key" --expires 1d \
    >"$work/refresh.txt" || fail "refresh in the past failed: $(cat "$work/refresh.txt")"
"$publish" verify "$published" --key "$old_key" >"$work/verify.txt" 2>&1 &&
    fail "verify accepts the expired statement: $(cat "$work/verify.txt")"
grep -q "expired" "$work/verify.txt" || fail "verify does not say expired: $(cat "$work/verify.txt")"
app=$work/app-b
lay_out_release_install "$app" 1.0
code=0
(cd "$work" && "$app/sendrift" --check) >"$work/check.txt" 2>&1 || code=$?
[ "$code" -eq 1 ] || fail "--check exited $code on the frozen statement: $(cat "$work/check.txt")"
grep -q "Version.txt.fresh: it expired at " "$app/sendrift.log" ||
    fail "--check logged no expiry: $(cat "$app/sendrift.log")"
start_wizard "$app"
click_to_refused_statement "(b)" "开始(&S)"
import -window "$window" "$pictures/frozen-statement.png"
untouched "$app"
[ "$(grep -c "Version.txt.fresh: it expired at " "$app/sendrift.log")" -eq 2 ] ||
    fail "(b): sendrift.log does not hold the wizard's expiry: $(cat "$app/sendrift.log")"
# 重试 checks again: the same refusal, after new requests of Version.txt and its statement.
click_to_refused_statement "(b), the retry" "重试(&S)"
untouched "$app"
[ "$(grep -c "Version.txt.fresh: it expired at " "$app/sendrift.log")" -eq 3 ] ||
    fail "(b): the retry logged no expiry"
# The publisher's daily refresh ends the freeze: the next retry takes the manifest.
"$publish" refresh "$published" --key "$work/old.key" --expires 7d >/dev/null ||
    fail "refresh failed"
click_until "$window" main 5 test -d "$app/Update" || fail "(b): the refreshed release was refused"
kill_wizard

echo "-- (c) a rotation followed, then the old key refused"
"$publish" rotate "$published" --key "$work/old.key" --new "$work/new.key" >/dev/null ||
    fail "rotate failed"
app=$work/app-c
lay_out_release_install "$app" 1.0
click_through_published_upgrade "$app" 1.0
[ "$(ini_value "$app/setup.ini" VERSION VERSION)" = 2.0 ] || fail "(c): setup.ini VERSION"
cmp -s "$work/2.0/Main.exe" "$app/Main.exe" || fail "(c): Main.exe is not 2.0's"
for line in "rotations 1" "learned $new_key" "retired $old_key"; do
    grep -qxF "$line" "$app/sendrift.state" ||
        fail "(c): sendrift.state lacks \"$line\": $(cat "$app/sendrift.state")"
done
# The release of 3.0 signed with the old key alone, as a thief of that key would publish it.
"$publish" release "$work/3.0" --version 3.0 --from "2.0=$work/2.0" --key "$work/old.key" \
    --out "$work/old-key-only" >/dev/null || fail "the release signed by the old key failed"
rm -rf "$published"
mv "$work/old-key-only" "$published"
start_wizard "$app"
click_to_refused_statement "(c)" "开始(&S)"
import -window "$window" "$pictures/retired-key.png"
kill_wizard
grep -qF "Version.txt.fresh: signed by the key $old_key, which is not trusted here" \
    "$app/sendrift.log" || fail "(c): no refusal of the old key: $(cat "$app/sendrift.log")"
[ ! -e "$app/Version.ini" ] && [ -z "$(find "$app/Update" -type f)" ] ||
    fail "(c): something of 3.0 was fetched"
[ "$(ini_value "$app/setup.ini" VERSION VERSION)" = 2.0 ] || fail "(c): setup.ini changed"
echo "PASS"
