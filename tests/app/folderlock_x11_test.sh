#!/usr/bin/env bash
# One process at a time in an application folder, with the real program in a real X server:
# a wizard started, with and without "on", while `sendrift --unattended` downloads there, and a
# second wizard started with "on" beside a first, each show the folder-busy box (picture for
# picture the guard's box with that text), end with 3 once it is answered (a click on "确定",
# the Return key) and leave the folder and the server untouched; and `--check` and
# `--unattended` exit 3, untouched too, while a wizard downloads.
# Usage: folderlock_x11_test.sh SENDRIFT_BINARY BUILT_IN_SERVER_URL GUARD_BOX_BINARY
#        PICTURE_FOLDER   (run under xvfb-run; pictures of a box that differs are kept there)
set -euo pipefail
program=$1
server_url=$2
guard_box=$3
pictures=$4
source "$(dirname "$0")/wizard_test_lib.sh"

busy_text="另一个Sendrift程序正在升级VELTRAMO产品，请等它结束后再运行本程序！"
guard_text='请先退出“VELTRAMO外贸业务管理系统”，然后运行本程序！'

# The processes the test started besides `wizard`, killed with it when the test ends.
others=()
trap 'kill -9 "${others[@]}" 2>/dev/null || true; kill_wizard; stop_update_server; rm -rf "$work"' EXIT

# Big.dat trickles for two minutes: whoever downloads it holds the folder for the whole test,
# and its journal stays as it is meanwhile.
mkdir -p "$server/Update"
printf '2.0' >"$server/Update/Version.txt"
printf '%s\r\n' "[VERSION]" "VERSION=2.0" "[1.0]" "1=Big.dat;0" >"$server/Update/Version.ini"
head -c 8388608 /dev/urandom >"$server/Update/Big.dat"
serve_on_built_in_address /Update/Big.dat

app=$work/app
mkdir -p "$app"
cp "$program" "$app/sendrift"
printf '%s\r\n' "[VERSION]" "VERSION=1.0" >"$app/setup.ini"

same_picture() { [ "$(compare -metric AE "$1" "$2" null: 2>&1)" = 0 ]; }

# Succeeds when window $1 shows exactly the picture $2 now.
shows_picture() {
    import -window "$1" "$work/now.png" 2>/dev/null && same_picture "$2" "$work/now.png"
}

# Saves a picture of window $1 as $2 once two pictures taken a fifth of a second apart agree.
settled_picture() {
    import -window "$1" "$2"
    for _ in $(seq 50); do
        sleep 0.2
        import -window "$1" "$work/next.png"
        same_picture "$2" "$work/next.png" && return 0
        mv "$work/next.png" "$2"
    done
    fail "window $1 kept changing"
}

# Repeats the command "${@:2}" every second until process $1 has ended (at most 20 times): an
# answer that comes before the box takes input is lost.
until_ended() {
    local pid=$1
    shift
    for _ in $(seq 20); do
        "$@" >/dev/null 2>&1 || true
        wait_until 1 not running "$pid" && return 0
    done
    return 1
}

# The pointer away from every window: a button under it would paint as hovered.
pointer_away() { xdotool mousemove 0 0; }

# Shows the guard's box with the text $1, saves its picture as $work/$2.png and the centre of
# its button as $work/$2.button ("button X Y"), and answers it.
reference_box() {
    local pid box
    pointer_away
    "$guard_box" "$1" >"$work/$2.button" &
    pid=$!
    others+=("$pid")
    wait_until 20 grep -q '^button ' "$work/$2.button" || fail "x11_guard_box showed no box"
    box=$(window_titled SENDRIFT) || fail "the box of x11_guard_box is not visible"
    settled_picture "$box" "$work/$2.png"
    until_ended "$pid" xdotool windowfocus --sync "$box" key Return ||
        fail "x11_guard_box did not end"
}

# The application folder's files, each with its checksum, but the download in progress below
# Update, of which only the names count.
folder_state() {
    (cd "$app" && find . -path ./Update -prune -o -type f -print0 | LC_ALL=C sort -z |
        xargs -0 md5sum && find Update | LC_ALL=C sort)
}

# Remembers the folder, the journal and the server's requests, for unchanged.
remember() {
    folder_state >"$work/state.before"
    cp "$app/Version.ini" "$work/journal.before"
    mark=$(log_lines)
}

# Checks that nothing changed since remember: $1 says what ran meanwhile.
unchanged() {
    cmp -s "$work/journal.before" "$app/Version.ini" || fail "$1 changed the journal"
    folder_state | diff "$work/state.before" - || fail "$1 changed the folder (above)"
    [ "$(log_lines)" -eq "$mark" ] || fail "$1 asked the server: $(requests_since "$mark")"
}

# The number of visible wizard windows.
wizard_windows() {
    { xdotool search --onlyvisible --name "^智能在线升级\\(3\\.0\\)\$" 2>/dev/null || true; } | wc -l
}

# Starts the program in the application folder with the arguments "$@" while another process
# holds it, and checks that the folder-busy box comes and no further wizard window. Sets
# `refused` to the process and `box` to the box.
expect_busy_box() {
    local wizards
    wizards=$(wizard_windows)
    pointer_away
    (cd "$work" && exec "$app/sendrift" "$@") &
    refused=$!
    others+=("$refused")
    box=$(window_titled SENDRIFT) || fail "no box from sendrift $*"
    if ! wait_until 10 shows_picture "$box" "$work/busy.png"; then
        mkdir -p "$pictures"
        cp "$work/busy.png" "$pictures/expected.png"
        cp "$work/now.png" "$pictures/shown.png"
        fail "the box of sendrift $* is not the folder-busy box: see $pictures"
    fi
    [ "$(wizard_windows)" -eq "$wizards" ] || fail "sendrift $* opened a wizard window as well"
}

# Checks that the refused program ended with 3 once its box was answered by "$@".
ended_refused() {
    until_ended "$refused" "$@" || fail "the program did not end when its box was answered"
    local code=0
    wait "$refused" || code=$?
    [ "$code" -eq 3 ] || fail "a refused wizard ended with $code, not 3"
}
answer_by_click() {
    local x y
    read -r _ x y <"$work/busy.button"
    ended_refused xdotool mousemove --window "$box" "$x" "$y" click 1
}
answer_by_return() { ended_refused xdotool windowfocus --sync "$box" key Return; }

echo "-- the box of each text, drawn by the guard's own code"
reference_box "$busy_text" busy
reference_box "$guard_text" guard
# The comparisons below could not tell one text from another otherwise.
not same_picture "$work/busy.png" "$work/guard.png" || fail "both texts give the same picture"

echo "-- wizards while an unattended run downloads"
(cd "$work" && exec env -u DISPLAY "$app/sendrift" --unattended) >"$work/unattended.out" 2>&1 &
unattended=$!
others+=("$unattended")
wait_until 30 requested_since 0 "GET /Update/Big.dat" ||
    fail "the unattended run did not reach its download: $(cat "$work/unattended.out")"
remember
expect_busy_box
answer_by_click
expect_busy_box on
answer_by_return
unchanged "a refused wizard"
running "$unattended" || fail "the unattended run ended: $(cat "$work/unattended.out")"

echo "-- a second wizard with \"on\" beside a first"
kill -9 "$unattended"
wait "$unattended" 2>/dev/null || true
(cd "$work" && exec "$app/sendrift" on) &
wizard=$!
window=$(wizard_window) || fail "no wizard window"
# The first continues the killed run: nothing has arrived to install, so it offers the rest.
wait_until 20 grep -q "still to be downloaded" "$app/sendrift.log" ||
    fail "the wizard did not continue the killed run"
remember
expect_busy_box on
answer_by_click
unchanged "the second wizard"

echo "-- the command line while the wizard downloads"
click_until "$window" continue 5 requested_since "$mark" '"HEAD /Update/Big.dat' ||
    fail "继续(&G) started no list step"
mark=$(log_lines)
click_until "$window" main 5 requested_since "$mark" "GET /Update/Big.dat" ||
    fail "下一步(&N) started no download"
remember
code=0
(cd "$work" && exec env -u DISPLAY "$app/sendrift" --check) >"$work/check.out" 2>&1 || code=$?
[ "$code" -eq 3 ] || fail "--check ended with $code, not 3: $(cat "$work/check.out")"
grep -q "another run of sendrift holds the application folder" "$work/check.out" ||
    fail "--check did not say why: $(cat "$work/check.out")"
code=0
(cd "$work" && exec env -u DISPLAY "$app/sendrift" --unattended --json) >"$work/json.out" || code=$?
[ "$code" -eq 3 ] || fail "--unattended ended with $code, not 3: $(cat "$work/json.out")"
python3 -c 'import json, sys; e = json.loads(sys.stdin.read()); sys.exit(e["event"] != "refused")' \
    <"$work/json.out" || fail "--unattended --json did not report its refusal: $(cat "$work/json.out")"
unchanged "the command line"
running "$wizard" || fail "the wizard ended"
echo "PASS"
