#!/usr/bin/env bash
# An error that no step handles, in the real window: the journal cannot be written once the
# download's first file has arrived. The error box names it, no transfer goes on behind it, and
# a close request then ends the program at once, without a question.
# Usage: steperror_x11_test.sh SENDRIFT_BINARY BUILT_IN_SERVER_URL CLOSE_WINDOW_BINARY
#        (run under xvfb-run)
set -euo pipefail
program=$1
server_url=$2
close_window=$3
source "$(dirname "$0")/wizard_test_lib.sh"

# 2.0 brings First.dll and Big.dat, which trickles for about half a minute. Every size is
# listed, so both are fetched at once.
mkdir -p "$server/Update"
printf '2.0' >"$server/Update/Version.txt"
echo "first 2.0" >"$server/Update/First.dll"
head -c 2097152 /dev/urandom >"$server/Update/Big.dat"
printf '%s\r\n' "[VERSION]" "VERSION=2.0" "[1.0]" "1=First.dll;0" "2=Big.dat;0" "[SIZE]" \
    "First.dll=$(stat -c %s "$server/Update/First.dll")" "Big.dat=2097152" \
    >"$server/Update/Version.ini"
serve_on_built_in_address /Update/Big.dat
[[ $server_url =~ :([0-9]+)$ ]] && port=${BASH_REMATCH[1]} || port=80

# Succeeds while the program holds a connection to the update server.
connected() { ss -Htnp state established "( dport = :$port )" | grep -q "pid=$wizard,"; }
# Succeeds while a window titled $1 is shown.
shown() { [ -n "$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null)" ]; }

app=$work/app
lay_out_two_file_install "$app"
start_wizard "$app"
click_until "$window" main 5 test -d "$app/Update" || fail "the manifest did not arrive"
# Where the journal writes its next version beside itself: every journal write fails from here.
mkdir "$app/Version.ini.sendrift-new"
mark=$(log_lines)
click_until "$window" main 5 requested_since "$mark" '"GET /Update/Big.dat' ||
    fail "no download of Big.dat"
box=$(window_titled SENDRIFT) || fail "no error box"
wait_until 3 not connected || fail "a transfer goes on behind the error box"
xdotool windowfocus --sync "$box" key Return
wait_until 5 not shown SENDRIFT || fail "the error box did not close"
"$close_window" "$window"
# A question would hold the program until it is answered.
wait_until 5 not running "$wizard" || fail "a close request did not end the program"
ended
grep -q "无法写入" "$app/sendrift.log" || fail "sendrift.log does not name the failed write"
echo "PASS"
