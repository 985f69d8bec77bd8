#!/usr/bin/env bash
# The close rules in the real window, with a real event loop: the close box on the welcome
# page; in each step that asks before it is cancelled (the list, the download, the install),
# every close request refused with No (Escape) and asked again, however it comes, then Yes
# (Return), which ends the program with 0 and leaves the journal as a cancel there leaves it;
# during the download also the answers a person gives with the mouse, and Escape held down
# through later questions; and the up-to-date answer whose finish button ends the program while
# its close button does nothing.
# Usage: closerules_x11_test.sh SENDRIFT_BINARY BUILT_IN_SERVER_URL CLOSE_WINDOW_BINARY
#        (run under xvfb-run)
set -euo pipefail
program=$1
server_url=$2
close_window=$3
source "$(dirname "$0")/wizard_test_lib.sh"

# 2.0 brings, from 1.0, First.dll and then Big.dat, which trickles for about half a minute;
# from 1.1, First.dll and Held.dat, whose size query is not answered while Held.dat.hold
# exists; from 1.2, the run entry Wait.sh, which waits until the file "go" appears in the
# application folder, and then Last.dll.
mkdir -p "$server/Update"
printf '2.0' >"$server/Update/Version.txt"
printf '%s\r\n' "[VERSION]" "VERSION=2.0" "[1.0]" "1=First.dll;0" "2=Big.dat;0" \
    "[1.1]" "1=First.dll;0" "2=Held.dat;0" "[1.2]" "1=Wait.sh;1" "2=Last.dll;0" \
    >"$server/Update/Version.ini"
echo "first 2.0" >"$server/Update/First.dll"
head -c 2097152 /dev/urandom >"$server/Update/Big.dat"
echo "held 2.0" >"$server/Update/Held.dat"
echo "last 2.0" >"$server/Update/Last.dll"
# It also ends once the application folder is gone, so that a failed test leaves no process.
cat >"$server/Update/Wait.sh" <<'SCRIPT'
#!/bin/sh
app=$(dirname "$0")/..
touch "$app/waiting"
while [ ! -e "$app/go" ] && [ -d "$app" ]; do sleep 0.1; done
SCRIPT
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

# Succeeds while the program runs with its window shown.
still_open() {
    running "$wizard" && xwininfo -id "$window" 2>/dev/null | grep -q "Map State: IsViewable"
}

# Prints the id of a shown confirmation box other than the window $1 once there is one (at
# most 10 s).
another_box() {
    local id
    for _ in $(seq 100); do
        id=$(xdotool search --onlyvisible --name '^确认$' 2>/dev/null | grep -vx "$1" |
            head -n1) || true
        [ -n "$id" ] && { echo "$id"; return 0; }
        sleep 0.1
    done
    return 1
}

# Asks the program to close, by clicking "取消(&C)" when $1 is "button" and by the close box
# otherwise, and prints the id of the confirmation box that must come.
ask_to_close() {
    if [ "${1:-}" = button ]; then click_button "$window" close; else "$close_window" "$window"; fi
    another_box none
}

# Answers the confirmation box $1 with the key $2 and waits until the box has gone.
answer() {
    xdotool windowfocus --sync "$1" key "$2"
    wait_until 5 no_box_titled "确认" || fail "$2 did not answer the confirmation"
}

# Answers the confirmation box $1 with a mouse click on "否[&N]", the rightmost of its two
# buttons, and waits until the box has gone.
click_no() {
    local WINDOW X Y WIDTH HEIGHT SCREEN
    eval "$(xdotool getwindowgeometry --shell "$1")"
    xdotool mousemove --window "$1" $((WIDTH - 51)) $((HEIGHT - 23)) click 1
    wait_until 5 no_box_titled "确认" || fail "a click on 否[&N] did not answer the confirmation"
}

# Refuses a close of each kind with each kind of answer, each answer followed by a close of
# the other kind: a close after No must ask again however No was given.
refuse_closes_by_hand() {
    local box round
    for round in "box Escape" "button click" "box click" "button Escape"; do
        # shellcheck disable=SC2086 # the close and the answer
        set -- $round
        box=$(ask_to_close "$1") || fail "the close ($1) after the last No asked no question"
        if [ "$2" = click ]; then click_no "$box"; else answer "$box" "$2"; fi
        still_open || fail "the step did not go on after No ($2) to a close ($1)"
    done
}

# A key held down since before a question is no answer to it. Escape pressed on one question
# and held (by a person, or left down by a remote session or tool that lost its release)
# answers that question; its repeats must leave the next questions open for an answer.
hold_escape_through_closes() {
    local box kind
    box=$(ask_to_close) || fail "the close box asked no question"
    xdotool windowfocus --sync "$box" keydown Escape
    wait_until 5 no_box_titled "确认" || fail "Escape pressed down did not answer"
    # Past the keyboard's delay: Escape repeats from now on.
    sleep 1
    for kind in button box; do
        box=$(ask_to_close "$kind") || fail "a close ($kind) with Escape held asked no question"
        sleep 1
        [ "$(another_box none)" = "$box" ] || fail "the held Escape answered the close ($kind)"
        click_no "$box"
        still_open || fail "the step did not go on after No to a close ($kind) with Escape held"
    done
    xdotool keyup Escape
}

# Asks to close during a step that asks first, answers No each time and checks that the step
# goes on in its window: by "取消(&C)", with the close box used while that question is open
# (not when $1 is "no clicks": a running install entry takes none); by the close box; and by
# the close box in the instant the question is answered, so that the answer and the request
# reach the program together and the request must be asked again.
refuse_closes() {
    local box
    if [ "${1:-}" != "no clicks" ]; then
        box=$(ask_to_close button) || fail "取消(&C) asked no question"
        "$close_window" "$window"
        sleep 0.5
        [ "$(another_box none)" = "$box" ] || fail "a close during the question took its box"
        still_open || fail "a close during the question took the window"
        answer "$box" Escape
        still_open || fail "the step did not go on after No to 取消(&C)"
    fi
    box=$(ask_to_close) || fail "the close box asked no question"
    answer "$box" Escape
    still_open || fail "the step did not go on after No to the close box"

    box=$(ask_to_close) || fail "the close box asked no question the second time"
    xdotool windowfocus --sync "$box"
    kill -STOP "$wizard"
    xdotool key Escape
    "$close_window" "$window"
    kill -CONT "$wizard"
    box=$(another_box "$box") || fail "a close made as No was given asked no question"
    still_open || fail "a close made as No was given took the window"
    answer "$box" Escape
    still_open || fail "the step did not go on after the last No"
}

# Asks to close by the close box and answers Yes.
confirm_close() {
    local box
    box=$(ask_to_close) || fail "no question before Yes"
    answer "$box" Return
}

echo "-- the close box on the welcome page"
app=$work/welcome
lay_out "$app" 1.0
start_wizard "$app"
"$close_window" "$window"
wait_until 10 not running "$wizard" || fail "the close box did not end the program"
ended
[ ! -e "$app/Version.ini" ] || fail "the welcome page's close wrote a manifest"

echo "-- No, No and Yes while the list step waits for a size query"
app=$work/list
lay_out "$app" 1.1
touch "$server/Update/Held.dat.hold"
start_wizard "$app"
click_until "$window" main 5 test -d "$app/Update" || fail "the manifest did not arrive"
mark=$(log_lines)
click_until "$window" main 5 requested_since "$mark" '"HEAD /Update/First.dll' ||
    fail "no list step"
cp "$app/Version.ini" "$work/journal"
refuse_closes
confirm_close
wait_until 3 not running "$wizard" || fail "the program did not end within 3 s of Yes"
ended
rm "$server/Update/Held.dat.hold"
cmp -s "$work/journal" "$app/Version.ini" || fail "the cancelled list changed the journal"
[ ! -e "$app/Update/First.dll" ] || fail "the cancelled list downloaded"

echo "-- No, No and Yes during a download"
app=$work/download
lay_out "$app" 1.0
start_wizard "$app"
click_until "$window" main 5 test -d "$app/Update" || fail "the manifest did not arrive"
mark=$(log_lines)
click_until "$window" main 5 requested_since "$mark" '"HEAD /Update/Big.dat' ||
    fail "no list step"
click_until "$window" main 5 requested_since "$mark" '"GET /Update/Big.dat' ||
    fail "no download of Big.dat"
# Arrivals are journalled together, within a second.
journalled() { [ "$(ini_keys "$app/Version.ini" RUN)" = "$1" ]; }
wait_until 3 journalled 1 || fail "First.dll is not journalled"
refuse_closes
refuse_closes_by_hand
hold_escape_through_closes
import -window "$window" "$work/before.png"
wait_until 5 window_changed_from "$work/before.png" || fail "the download stopped after No"
confirm_close
wait_until 3 not running "$wizard" || fail "the program did not end within 3 s of Yes"
ended
[ "$(ini_keys "$app/Version.ini" RUN)" = 1 ] || fail "the journal lost First.dll"
[ "$(ini_keys "$app/Version.ini" 1.0)" = 2 ] || fail "Big.dat left the manifest section"
cmp -s "$server/Update/First.dll" "$app/Update/First.dll" || fail "First.dll is not kept"

echo "-- No, No and Yes while the install step waits for a run entry"
app=$work/install
lay_out "$app" 1.2
start_wizard "$app"
click_until "$window" main 5 test -d "$app/Update" || fail "the manifest did not arrive"
mark=$(log_lines)
click_until "$window" main 5 requested_since "$mark" '"HEAD /Update/Last.dll' ||
    fail "no list step"
click_until "$window" main 5 requested_since "$mark" '"GET /Update/Last.dll' ||
    fail "no download of Last.dll"
wait_until 10 not ini_has_section "$app/Version.ini" 1.2 || fail "the download did not end"
click_until "$window" main 5 test -e "$app/waiting" || fail "the run entry did not start"
refuse_closes "no clicks"
confirm_close
# The install stops before its next entry, once the running one has ended.
touch "$app/go"
wait_until 5 not running "$wizard" || fail "the program did not end after Yes"
ended
[ "$(ini_keys "$app/Version.ini" RUN)" = 2 ] || fail "the journal is not left at Last.dll"
[ ! -e "$app/Last.dll" ] || fail "Last.dll was installed after Yes"
cmp -s "$server/Update/Last.dll" "$app/Update/Last.dll" || fail "the copy of Last.dll is gone"
[ "$(ini_value "$app/setup.ini" VERSION VERSION)" = 1.2 ] || fail "the new version was recorded"

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
