#!/usr/bin/env bash
# A picture of each of the six pages, taken from the real window as a person sees it, with
# the page's fixed texts present: the label rectangles hold pixels of more than one colour.
# The install page is caught while a run entry's program runs, so it also shows that the
# window keeps painting then.
# Usage: pages_x11_test.sh SENDRIFT_BINARY BUILT_IN_SERVER_URL PICTURE_FOLDER
#        (run under xvfb-run)
set -euo pipefail
program=$1
server_url=$2
pictures=$3
source "$(dirname "$0")/wizard_test_lib.sh"
mkdir -p "$pictures"

mkdir -p "$server/Update"
printf '2.0' >"$server/Update/Version.txt"
printf '%s\r\n' "[VERSION]" "VERSION=2.0" "[1.0]" "1=Main.exe;0" "2=Wait.sh;1" \
    >"$server/Update/Version.ini"
echo "main 2.0" >"$server/Update/Main.exe"
# Holds the install step until the test has taken its picture.
printf '#!/bin/sh\nwhile [ ! -e "%s/pictured" ]; do sleep 0.1; done\n' "$work" \
    >"$server/Update/Wait.sh"
serve_on_built_in_address

# The notebook's place in the window; the labels' places are given within their pages.
notebook_left=136
notebook_top=8

# Takes a picture of the window as $1.png and checks that each label rectangle
# "left,top,width" (14 pixels high, in page coordinates) in "${@:2}" shows some text.
picture_with_texts() {
    local file=$pictures/$1.png place left top width colours
    import -window "$window" "$file"
    shift
    for place in "$@"; do
        IFS=, read -r left top width <<<"$place"
        colours=$(convert "$file" -crop "${width}x14+$((notebook_left + left))+$((notebook_top + top))" \
            +repage -format %k info:)
        [ "$colours" -gt 1 ] || fail "$(basename "$file"): no text at $place"
    done
}

app=$work/app
mkdir -p "$app"
cp "$program" "$app/sendrift"
start_wizard "$app"
sleep 0.5  # the first paint
picture_with_texts 1-welcome 8,11,120 8,35,250 8,203,250
click_until "$window" main 5 test -d "$app/Update" || fail "the manifest did not arrive"
click_until "$window" main 5 requested_since 0 '"HEAD ' || fail "no list step"
server_quiet
picture_with_texts 2-index 8,11,250 10,187,250 11,246,250
click_until "$window" main 5 test -f "$app/Update/Wait.sh" || fail "no download step"
wait_until 10 not ini_has_section "$app/Version.ini" 1.0 || fail "the download did not end"
picture_with_texts 3-download 8,11,250 11,165,150 11,207,150 9,250,250
click_until "$window" main 5 test ! -e "$app/Update/Main.exe" || fail "no install step"
sleep 0.5  # a paint while Wait.sh runs
picture_with_texts 4-install 8,11,250 8,187,100
touch "$work/pictured"
wait_until 10 test ! -e "$app/Version.ini" || fail "the install did not end"
picture_with_texts 5-finish 8,8,120 8,26,200
click_until "$window" main 5 not running "$wizard" || fail "完成(&F) did not end the program"
ended

# The message page: the up-to-date answer, now that 2.0 is installed.
start_wizard "$app"
mark=$(log_lines)
click_until "$window" main 5 requested_since "$mark" "GET /Update/Version.txt" ||
    fail "开始(&S) asked for no version"
server_quiet
picture_with_texts 6-message 16,19,120 24,56,300
kill_wizard
echo "PASS"
