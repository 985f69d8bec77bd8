#!/usr/bin/env bash
# The real program in a real X server installs an update that replaces files whose modes
# matter: a script and a program that must stay executable, a data file that must stay
# unreadable to others, and the updater itself, which must start again afterwards.
# Usage: modes_x11_test.sh SENDRIFT_BINARY BUILT_IN_SERVER_URL   (run under xvfb-run)
set -euo pipefail
program=$1
server_url=$2
source "$(dirname "$0")/wizard_test_lib.sh"
source "$(dirname "$0")/click_through_lib.sh"

# The update from 2.9 to 3.1. The server's files carry the mode 0644 of new files, so a
# replaced file that kept its mode got it from the file it replaced.
mkdir -p "$server/Update"
printf '3.1' >"$server/Update/Version.txt"
printf '%s\r\n' "[VERSION]" "VERSION=3.1" "[2.9]" "1=Start.sh;0" "2=Tool;0;;Bin" "3=Data.pak;0" \
    "4=sendrift;0" >"$server/Update/Version.ini"
printf '#!/bin/sh\necho "start 3.1"\n' >"$server/Update/Start.sh"
printf '#!/bin/sh\necho "tool 3.1"\n' >"$server/Update/Tool"
echo "data 3.1" >"$server/Update/Data.pak"
cp "$program" "$server/Update/sendrift"
chmod 0644 "$server/Update/"*

app=$work/app
mkdir -p "$app/Bin"
cp "$program" "$app/sendrift"
printf '%s\r\n' "[VERSION]" "VERSION=2.9" >"$app/setup.ini"
printf '#!/bin/sh\necho "start 2.9"\n' >"$app/Start.sh"
printf '#!/bin/sh\necho "tool 2.9"\n' >"$app/Bin/Tool"
echo "data 2.9" >"$app/Data.pak"
chmod 0755 "$app/Start.sh" "$app/sendrift"
chmod 0750 "$app/Bin/Tool"
chmod 0640 "$app/Data.pak"
updater=$(stat -c %i "$app/sendrift")

serve_on_built_in_address

start_wizard "$app"
click_through_upgrade "$app" 4

for expected in Start.sh:755 Bin/Tool:750 Data.pak:640 sendrift:755; do
    mode=$(stat -c %a "$app/${expected%%:*}")
    [ "$mode" = "${expected#*:}" ] || fail "${expected%%:*} has mode $mode, not ${expected#*:}"
done
[ "$("$app/Start.sh")" = "start 3.1" ] || fail "Start.sh does not run its new contents"
[ "$("$app/Bin/Tool")" = "tool 3.1" ] || fail "Bin/Tool does not run its new contents"
[ "$(cat "$app/Data.pak")" = "data 3.1" ] || fail "Data.pak was not replaced"
[ "$(stat -c %i "$app/sendrift")" != "$updater" ] || fail "the updater was not replaced"
cmp -s "$program" "$app/sendrift" || fail "the replaced updater is not the update's copy"

# The replaced updater starts again: start_wizard fails unless its window shows.
start_wizard "$app"
kill_wizard
echo "PASS"
