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

# Waits for the program to end and checks that it ended with the exit code $1 (0 when not
# given; 137 when killed).
ended() {
    local code=0
    wait "$wizard" || code=$?
    wizard=
    [ "$code" -eq "${1:-0}" ] || fail "exit code $code, not ${1:-0}"
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

# Serves $server over TLS on port $1 with the certificate made by make_test_authority in the
# folder $2, waiting up to a minute for the port.
serve_over_tls() {
    local status
    for _ in $(seq 60); do
        status=0
        start_update_server python3 -u "$(dirname "${BASH_SOURCE[0]}")/https_server.py" "$1" \
            "$server" "$2/server.pem" "$2/server.key" || status=$?
        [ "$status" -eq 3 ] || break
        sleep 1
    done
    [ "$status" -eq 0 ] || fail "the HTTPS update server did not start (status $status)"
}

# Starts tinyproxy on a free port of its own (`proxy_port`), logging to `proxy_log`; it is
# stopped when the test ends.
start_tinyproxy() {
    command -v tinyproxy >/dev/null || fail "tinyproxy is missing (scripts/setup installs it)"
    proxy_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    proxy_log=$work/tinyproxy.log
    printf '%s\n' "Port $proxy_port" "Listen 127.0.0.1" "Timeout 30" "MaxClients 20" \
        "LogFile \"$proxy_log\"" "LogLevel Info" "PidFile \"$work/tinyproxy.pid\"" \
        >"$work/tinyproxy.conf"
    tinyproxy -d -c "$work/tinyproxy.conf" >/dev/null 2>&1 &
    proxy_pid=$!
    trap 'kill "$proxy_pid" 2>/dev/null || true; kill_wizard; stop_update_server; rm -rf "$work"' EXIT
    wait_until 10 grep -q "Accepting connections" "$proxy_log" || fail "tinyproxy did not start"
}

# An application folder $1 at version 1.0 with the program, for the two-file update from 1.0 to
# 2.0 that publish_two_file_update serves.
lay_out_two_file_install() {
    mkdir -p "$1"
    cp "$program" "$1/sendrift"
    printf '%s\r\n' "[VERSION]" "VERSION=1.0" >"$1/setup.ini"
    echo "main 1.0" >"$1/Main.exe"
}

# The update from 1.0 to 2.0 of Main.exe and Data.pak, in $server, with no [SIZE]: each size is
# asked of the server.
publish_two_file_update() {
    mkdir -p "$server/Update"
    printf '2.0' >"$server/Update/Version.txt"
    printf '%s\r\n' "[VERSION]" "VERSION=2.0" "[1.0]" "1=Main.exe;0" "2=Data.pak;0" \
        >"$server/Update/Version.ini"
    echo "main 2.0" >"$server/Update/Main.exe"
    head -c 100000 /dev/urandom >"$server/Update/Data.pak"
}

# Clicks the program, started in the application folder $1, through the two-file update to its
# end, and checks what it installed.
click_through_two_file_upgrade() {
    local app=$1 mark
    click_until "$window" main 5 requested_since 0 "GET /Update/Version.txt" ||
        fail "开始(&S) asked for no version"
    wait_until 30 test -d "$app/Update" || fail "the manifest did not arrive"
    mark=$(log_lines)
    click_until "$window" main 5 requested_since "$mark" '"HEAD ' || fail "no size query"
    wait_until 30 heads_since "$mark" 2 || fail "not 2 size queries"
    click_until "$window" main 5 requested_since "$mark" '"GET /Update/Main.exe' ||
        fail "no download started"
    wait_until 60 not ini_has_section "$app/Version.ini" 1.0 || fail "the download did not end"
    click_until "$window" main 5 install_started "$app" 2 || fail "no install started"
    wait_until 30 test ! -e "$app/Version.ini" || fail "the install did not end"
    click_until "$window" main 5 not running "$wizard" || fail "完成(&F) did not end the program"
    ended
    cmp -s "$server/Update/Data.pak" "$app/Data.pak" || fail "Data.pak is not the server's"
    [ "$(ini_value "$app/setup.ini" VERSION VERSION)" = 2.0 ] || fail "setup.ini VERSION"
}

# Checks that the server answered exactly the requests of the two-file update, in order.
expect_two_file_requests() {
    diff <(printf '%s\n' "GET /Update/Version.txt" "GET /Update/Version.ini" \
        "HEAD /Update/Main.exe" "HEAD /Update/Data.pak" "GET /Update/Main.exe" \
        "GET /Update/Data.pak") \
        <(sed -n 's/^[^"]*"\([A-Z]* [^ ]*\) HTTP\/1.0" 200 .*$/\1/p' "$SERVER_LOG") ||
        fail "requests differ (above: < expected, > seen by the server)"
}

# The number of size queries logged after the first $1 lines.
heads_count() { requests_since "$1" | grep -c '"HEAD ' || true; }
# Succeeds when exactly $2 size queries were logged after the first $1 lines: a wait for them
# fails on any further query as well.
heads_since() { [ "$(heads_count "$1")" -eq "$2" ]; }
