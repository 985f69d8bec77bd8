#!/usr/bin/env bash
# A release in a staged rollout and the real program in a real X server. The rollout started an
# hour ago and grows over 7 days; the installation holds the last number of every share, so it
# is not offered the release before the 7 days are over: the wizard shows the up-to-date page
# with one added line that says from when, --check exits 2, and nothing of the release is kept.
# --unattended --now takes the release at once. Once the same release is published with a
# rollout that started 8 days ago, the share is complete and the wizard upgrades.
# Usage: rollout_x11_test.sh SENDRIFT_BINARY BUILT_IN_SERVER_URL SENDRIFT_PUBLISH PICTURE_FOLDER
#        (run under xvfb-run)
set -euo pipefail
program=$1
server_url=$2
publish=$3
pictures=$4
source "$(dirname "$0")/wizard_test_lib.sh"
source "$(dirname "$0")/click_through_lib.sh"
mkdir -p "$pictures"

for version in 1.0 2.0; do
    mkdir -p "$work/$version"
    echo "main $version" >"$work/$version/Main.exe"
    echo "data $version" >"$work/$version/Data.pak"
done

# Publishes the release of 2.0 for 1.0 with a rollout of 7 days that started at the UTC time
# $1 (seconds since 1970).
publish_rollout_from() {
    "$publish" release "$work/2.0" --version 2.0 --from "1.0=$work/1.0" \
        --rollout "$(date -u -d "@$1" +%Y-%m-%dT%H:%M:%SZ),7" --out "$server/Update" --force \
        >/dev/null || fail "the release with a rollout from $1 failed"
}

# The number of pixel rows of the message box in the picture $1 that show some text.
message_text_rows() {
    # The box without its frame, in window coordinates: the notebook at 136,8, the box at
    # 16,48 within its page.
    convert "$1" -crop 341x141+154+58 +repage -colorspace gray -threshold 50% -scale '1x141!' \
        -depth 8 txt:- | tail -n +2 | grep -vc "#FFFFFF" || true
}

# An installation of 1.0 with the last rollout number of every share, in the folder $1.
lay_out_last_of_the_share() {
    local state
    lay_out_release_install "$1" 1.0
    state=$'sendrift-state 1\nrollout 4294967295\n'
    printf '%send %s\n' "$state" "$(printf '%s' "$state" | sha256sum | cut -d' ' -f1)" \
        >"$1/sendrift.state"
    cp "$1/sendrift.state" "$work/state.written"
}

# Checks that the installation $1 kept nothing of the release and its rollout number.
untouched() {
    [ ! -e "$1/Version.ini" ] && [ ! -e "$1/Version.ini.download" ] ||
        fail "$1: the release's manifest was kept"
    [ ! -e "$1/Update" ] || fail "$1: Update/ was made"
    [ "$(ini_value "$1/setup.ini" VERSION VERSION)" = 1.0 ] || fail "$1: setup.ini VERSION"
    cmp -s "$work/state.written" "$1/sendrift.state" ||
        fail "$1: sendrift.state changed: $(cat "$1/sendrift.state")"
}

started=$(($(date +%s) - 3600))
publish_rollout_from "$started"
"$publish" verify "$server/Update" >"$work/verify.txt" || fail "the release does not verify"
grep -q "^Version.ini: rollout growing: " "$work/verify.txt" ||
    fail "verify tells no growing rollout: $(cat "$work/verify.txt")"
serve_on_built_in_address

echo "-- not yet offered"
app=$work/app
lay_out_last_of_the_share "$app"
code=0
(cd "$work" && "$app/sendrift" --check) >"$work/check.txt" 2>&1 || code=$?
[ "$code" -eq 2 ] || fail "--check exited $code: $(cat "$work/check.txt")"
# The last number is offered when the whole share is open, at the end of the 7 days.
offered=$(date -u -d "@$((started + 7 * 86400))" +%Y-%m-%dT%H:%M:%SZ)
grep -qF "this one is offered it from $offered" "$work/check.txt" ||
    fail "--check does not say from $offered: $(cat "$work/check.txt")"
untouched "$app"

mark=$(log_lines)
start_wizard "$app"
click_until "$window" main 5 requested_since "$mark" "GET /Update/Version.ini " ||
    fail "开始(&S) fetched no manifest"
server_quiet || fail "the check went on after the manifest"
import -window "$window" "$pictures/not-yet-offered.png"
untouched "$app"
click_until "$window" main 5 not running "$wizard" || fail "完成(&C) did not end the program"
ended
untouched "$app"

echo "-- taken at once with --unattended --now"
app_now=$work/app-now
lay_out_last_of_the_share "$app_now"
(cd "$work" && "$app_now/sendrift" --unattended --now) >"$work/now.txt" 2>&1 ||
    fail "--unattended --now failed: $(cat "$work/now.txt")"
[ "$(ini_value "$app_now/setup.ini" VERSION VERSION)" = 2.0 ] || fail "--now: setup.ini VERSION"
cmp -s "$work/2.0/Main.exe" "$app_now/Main.exe" || fail "--now: Main.exe is not 2.0's"

echo "-- offered once the share is complete"
publish_rollout_from "$(($(date +%s) - 8 * 86400))"
code=0
(cd "$work" && "$app/sendrift" --check) >"$work/check.txt" 2>&1 || code=$?
[ "$code" -eq 0 ] || fail "--check exited $code on the complete share: $(cat "$work/check.txt")"
click_through_published_upgrade "$app" 1.0
[ "$(ini_value "$app/setup.ini" VERSION VERSION)" = 2.0 ] || fail "setup.ini VERSION"
cmp -s "$work/2.0/Main.exe" "$app/Main.exe" && cmp -s "$work/2.0/Data.pak" "$app/Data.pak" ||
    fail "the installed files are not 2.0's"
grep -qx "rollout 4294967295" "$app/sendrift.state" || fail "the rollout number changed"

# The up-to-date page now, for the picture beside the one with the added line.
mark=$(log_lines)
start_wizard "$app"
click_until "$window" main 5 requested_since "$mark" "GET /Update/Version.txt" ||
    fail "开始(&S) asked for no version"
server_quiet || fail "the up-to-date check went on"
import -window "$window" "$pictures/up-to-date.png"
click_until "$window" main 5 not running "$wizard" || fail "完成(&C) did not end the program"
ended
plain=$(message_text_rows "$pictures/up-to-date.png")
told=$(message_text_rows "$pictures/not-yet-offered.png")
[ "$plain" -gt 0 ] && [ "$told" -gt "$plain" ] ||
    fail "the page outside the share shows no added line: $told rows of text, $plain without it"
echo "PASS"
