# What the tests of the real program under Xvfb share beyond scripts/lib/wizard_x11.sh: a work
# folder, the program started and ended, and the update server on the program's built-in
# address. Sourced after setting `program` (the binary) and `server_url` (its built-in address).
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/wizard_x11.sh"

work=$(mktemp -d)
server=$work/server
SERVER_LOG=$work/requests.log
wizard=
# Kills the program if it runs, without the shell's notice.
kill_wizard() {
    [ -z "$wizard" ] || { kill -9 "$wizard" && wait "$wizard"; } 2>/dev/null || true
    wizard=
}
trap 'kill_wizard; stop_update_server; rm -rf "$work"' EXIT
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY

fail() {
    echo "FAIL: $*"
    echo "requests:"
    cat "$SERVER_LOG"
    exit 1
}

# Starts the program in the application folder $1, from the working folder $work, and sets
# `window` to its window.
start_wizard() {
    (cd "$work" && exec "$1/sendrift") &
    wizard=$!
    window=$(wizard_window) || fail "no window titled $WIZARD_CAPTION"
}

# Waits for the program to end and checks that it ended with 0.
ended() {
    local code=0
    wait "$wizard" || code=$?
    wizard=
    [ "$code" -eq 0 ] || fail "exit code $code"
}

# Serves $server on the port of the built-in address, where the size queries go, with the
# request paths "$@" sent slowly. Skips the test (77) when that address is not on this machine.
serve_on_built_in_address() {
    local port status
    if [[ ! $server_url =~ ^http://127\.0\.0\.1(:([0-9]+))?$ ]]; then
        echo "SKIP: the built-in server address $server_url is not on this machine"
        exit 77
    fi
    port=${BASH_REMATCH[2]:-80}
    for _ in $(seq 60); do
        status=0
        start_update_server python3 -u "$(dirname "${BASH_SOURCE[0]}")/slow_http_server.py" \
            "$port" "$server" "$@" || status=$?
        [ "$status" -eq 3 ] || break
        sleep 1
    done
    [ "$status" -ne 3 ] || fail "port $port on 127.0.0.1 stayed taken for a minute; the program
sends its size queries to its built-in address $server_url, so the test serves there. Stop
what holds the port (scripts/demo?) and run the test again."
    [ "$status" -eq 0 ] || fail "the update server did not start"
}

# Succeeds when every thread of process $1 is traced by process $2.
traced_by() {
    local status
    for status in /proc/"$1"/task/*/status; do
        grep -q "^TracerPid:[[:space:]]*$2\$" "$status" || return 1
    done
}

# Ends the test as skipped (77) where strace cannot trace, and fails where it is missing.
require_strace() {
    command -v strace >/dev/null || fail "strace is missing (scripts/setup installs it)"
    if ! strace -o /dev/null true 2>/dev/null; then
        echo "SKIP: strace cannot trace processes here"
        exit 77
    fi
}
