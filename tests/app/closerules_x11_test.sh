#!/usr/bin/env bash
# The close rules in the real window, with a real event loop: the close box on the welcome
# page, the confirmation during a download (Escape goes on, Return ends the program with 0 and
# the journal keeps what was complete), and the up-to-date answer whose finish button ends
# the program while its close button does nothing.
# Usage: closerules_x11_test.sh SENDRIFT_BINARY BUILT_IN_SERVER_URL CLOSE_WINDOW_BINARY
#        (run under xvfb-run)
set -euo pipefail
program=$1
server_url=$2
close_window=$3
source "$(dirname "$0")/wizard_test_lib.sh"

# 2.0 brings First.dll and then Big.dat, which trickles for about eight seconds.
mkdir -p "$server/Update"
printf '2.0' >"$server/Update/Version.txt"
printf '%s\r\n' "[VERSION]" "VERSION=2.0" "[1.0]" "1=First.dll;0" "2=Big.dat;0" \
    >"$server/Update/Version.ini"
echo "first 2.0" >"$server/Update/First.dll"
head -c 524288 /dev/urandom >"$server/Update/Big.dat"
serve_on_built_in_address /Update/Big.dat

# Lays out an application folder $1 at the installed version $2.
lay_out() {
    mkdir -p "$1"
    cp "$program" "$1/sendrift"
    printf '%s\r\n' "[VERSION]" "VERSION=$2" >"$1/setup.ini"
}

no_box_titled() { [ -z "$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null)" ]; }
# Succeeds when the window shows something other than the picture $1, as the download's bars
# and counters do while it goes on (the file itself grows only in steps of its large buffer).
window_changed_from() {
    import -window "$window" "$work/now.png"
    [ "$(compare -metric AE "$1" "$work/now.png" null: 2>&1)" != 0 ]
}

echo "-- the close box on the welcome page"
app=$work/welcome
lay_out "$app" 1.0
start_wizard "$app"
"$close_window" "$window"
wait_until 10 not running "$wizard" || fail "the close box did not end the program"
ended
[ ! -e "$app/Version.ini" ] || fail "the welcome page's close wrote a manifest"

echo "-- the confirmation during a download"
app=$work/download
lay_out "$app" 1.0
start_wizard "$app"
click_until "$window" main 5 test -d "$app/Update" || fail "the manifest did not arrive"
mark=$(log_lines)
click_until "$window" main 5 requested_since "$mark" '"HEAD /Update/Big.dat' ||
    fail "no list step"
click_until "$window" main 5 requested_since "$mark" '"GET /Update/Big.dat' ||
    fail "no download of Big.dat"
[ "$(ini_keys "$app/Version.ini" RUN)" = 1 ] || fail "First.dll is not journalled"
"$close_window" "$window"
box=$(window_titled "确认") || fail "no confirmation box"
xdotool windowfocus --sync "$box" key Escape
wait_until 5 no_box_titled "确认" || fail "Escape did not answer the confirmation"
import -window "$window" "$work/before.png"
wait_until 5 window_changed_from "$work/before.png" || fail "the download stopped after No"
running "$wizard" || fail "the program ended after No"
"$close_window" "$window"
box=$(window_titled "确认") || fail "no confirmation box the second time"
xdotool windowfocus --sync "$box" key Return
wait_until 3 not running "$wizard" || fail "the program did not end within 3 s of Yes"
ended
[ "$(ini_keys "$app/Version.ini" RUN)" = 1 ] || fail "the journal lost First.dll"
[ "$(ini_keys "$app/Version.ini" 1.0)" = 2 ] || fail "Big.dat left the manifest section"
cmp -s "$server/Update/First.dll" "$app/Update/First.dll" || fail "First.dll is not kept"

echo "-- the up-to-date answer"
app=$work/current
lay_out "$app" 2.0
start_wizard "$app"
mark=$(log_lines)
click_until "$window" main 5 requested_since "$mark" "GET /Update/Version.txt" ||
    fail "开始(&S) asked for no version"
server_quiet
click_button "$window" close
sleep 1
running "$wizard" || fail "the disabled close button ended the program"
click_until "$window" main 5 not running "$wizard" || fail "完成(&C) did not end the program"
ended
echo "PASS"
