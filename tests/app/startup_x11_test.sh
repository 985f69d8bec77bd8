#!/usr/bin/env bash
# The real program in a real X server: one window with the wizard's caption and client size
# that ends the program with 0 when closed, and the single-instance guard that refuses to
# start while the main product's window is open, wherever a window manager has put it.
# Usage: startup_x11_test.sh SENDRIFT_BINARY CLASS_WINDOW_BINARY   (run under xvfb-run)
set -euo pipefail
program=$1
class_window=$2
caption="智能在线升级(3.0)"

app=$(mktemp -d)
ready=$(mktemp)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$app" "$ready"' EXIT
cp "$program" "$app/sendrift"
fail() { echo "FAIL: $*"; exit 1; }

# The ids of the visible windows named exactly $1, if any.
windows_named() {
    xdotool search --onlyvisible --name "^$(printf '%s' "$1" | sed 's/[()]/\\&/g')\$" 2>/dev/null || true
}

# Waits up to 20 s for windows named exactly $1; prints their ids.
wait_for_windows() {
    for _ in $(seq 200); do
        ids=$(windows_named "$1")
        [ -n "$ids" ] && { echo "$ids"; return 0; }
        sleep 0.1
    done
    return 1
}

# Repeats the command "${@:2}" every half second until process $1 ends (at most 20 s).
# Repeating matters on a loaded machine: a click that arrives before the window is ready for
# input is lost.
until_exit() {
    local pid=$1
    shift
    for _ in $(seq 40); do
        "$@" >/dev/null 2>&1 || true
        for _ in 1 2 3 4 5; do
            kill -0 "$pid" 2>/dev/null || return 0
            sleep 0.1
        done
    done
    return 1
}

# Waits for process $1 and fails unless it ended with 0.
expect_exit_0() {
    local code=0
    wait "$1" || code=$?
    [ "$code" -eq 0 ] || fail "exit code $code"
}

# Opens the stand-in for the main product's window; arguments go to the helper before the
# class. Sets product_pid.
open_product() {
    : > "$ready"
    "$class_window" "$@" "QUENTAROS FOR WINDOWS" > "$ready" &
    product_pid=$!
    for _ in $(seq 50); do grep -q ready "$ready" && return 0; sleep 0.1; done
    fail "the product's window did not open"
}

close_product() {
    kill "$product_pid"
    wait "$product_pid" 2>/dev/null || true
}

# Starts the program with the arguments "$@" and expects the wizard, which its close button
# ends.
expect_wizard() {
    (cd "$app" && ./sendrift "$@") &
    local pid=$!
    local ids
    ids=$(wait_for_windows "$caption") || fail "no wizard with arguments '$*'"
    [ "$(echo "$ids" | wc -l)" -eq 1 ] || fail "more than one window: $ids"
    local geometry
    geometry=$(xwininfo -id "$ids" | awk '/Width:/ {w=$2} /Height:/ {h=$2} END {print w "x" h}')
    [ "$geometry" = "520x326" ] || fail "client area is $geometry"
    # The close button ("取消(&C)") at 416,283 with its 89 x 25 size.
    until_exit $pid xdotool mousemove --window "$ids" 460 295 click 1 ||
        fail "the program did not end after the close button"
    expect_exit_0 $pid
}

# Every file below the folder $1 with its size, mode and time. Not the blocks in use (ls's
# "total"): the file system may still be allocating those of a file copied just before.
listing() { ls -lR --time-style=full-iso "$1" | grep -v '^total '; }

# Starts the program with the arguments "$@" and expects the guard's message instead of the
# wizard, and no file touched.
expect_guard() {
    local before after
    before=$(listing "$app")
    (cd "$app" && ./sendrift "$@") &
    local pid=$!
    local box
    box=$(wait_for_windows "SENDRIFT") || fail "no guard message with arguments '$*'"
    [ -z "$(windows_named "$caption")" ] || fail "the wizard started beside the product"
    until_exit $pid xdotool windowfocus --sync "$box" key Return ||
        fail "the program did not end after the guard message"
    expect_exit_0 $pid
    after=$(listing "$app")
    [ "$before" = "$after" ] || fail "the guard touched a file: $(diff <(echo "$before") <(echo "$after"))"
}

echo "-- the wizard window"
expect_wizard

echo "-- the guard"
open_product
expect_guard
echo "-- Qt's own options are no argument of the program"
expect_guard -style fusion
expect_guard -reverse

echo "-- any argument lifts the guard"
expect_wizard x
expect_wizard -reverse x
close_product

echo "-- the product's window three frames below the root"
open_product --nest 3
expect_guard
close_product

echo "-- the product's window in a window manager's client list"
open_product --nest 2 --client-list
expect_guard
close_product

echo "-- a client list naming a closed window holds nothing back"
expect_wizard
echo "PASS"
