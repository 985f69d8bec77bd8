#!/usr/bin/env bash
# The real program in a real X server, upgrading through the tinyproxy program named by
# http_proxy: every size query and every download must pass the proxy (its log shows each),
# and the update server must see them arrive from it.
# Usage: proxy_x11_test.sh SENDRIFT_BINARY BUILT_IN_SERVER_URL   (run under xvfb-run)
set -euo pipefail
program=$1
server_url=$2
source "$(dirname "$0")/wizard_test_lib.sh"
command -v tinyproxy >/dev/null || fail "tinyproxy is missing (scripts/setup installs it)"

mkdir -p "$server/Update"
printf '2.0' >"$server/Update/Version.txt"
printf '%s\r\n' "[VERSION]" "VERSION=2.0" "[1.0]" "1=Main.exe;0" "2=Data.pak;0" \
    >"$server/Update/Version.ini"
echo "main 2.0" >"$server/Update/Main.exe"
head -c 100000 /dev/urandom >"$server/Update/Data.pak"
serve_on_built_in_address

# The proxy on a port of its own, with its own configuration and log.
proxy_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
proxy_log=$work/tinyproxy.log
printf '%s\n' "Port $proxy_port" "Listen 127.0.0.1" "Timeout 30" "MaxClients 20" \
    "LogFile \"$proxy_log\"" "LogLevel Info" "PidFile \"$work/tinyproxy.pid\"" >"$work/tinyproxy.conf"
tinyproxy -d -c "$work/tinyproxy.conf" >/dev/null 2>&1 &
proxy_pid=$!
trap 'kill "$proxy_pid" 2>/dev/null || true; kill_wizard; stop_update_server; rm -rf "$work"' EXIT
wait_until 10 grep -q "Accepting connections" "$proxy_log" || fail "tinyproxy did not start"

export http_proxy=http://127.0.0.1:$proxy_port
unset no_proxy NO_PROXY

app=$work/app
mkdir -p "$app"
cp "$program" "$app/sendrift"
printf '%s\r\n' "[VERSION]" "VERSION=1.0" >"$app/setup.ini"
echo "main 1.0" >"$app/Main.exe"

start_wizard "$app"
click_until "$window" main 5 requested_since 0 "GET /Update/Version.txt" ||
    fail "开始(&S) asked for no version"
wait_until 30 test -d "$app/Update" || fail "the manifest did not arrive"
click_until "$window" main 5 requested_since 0 '"HEAD ' || fail "no size query"
wait_until 30 server_quiet || fail "the size queries did not end"
click_until "$window" main 5 requested_since 0 '"GET /Update/Main.exe' ||
    fail "no download started"
wait_until 60 not ini_has_section "$app/Version.ini" 1.0 || fail "the download did not end"
click_until "$window" main 5 install_started "$app" 2 || fail "no install started"
wait_until 30 test ! -e "$app/Version.ini" || fail "the install did not end"
click_until "$window" main 5 not running "$wizard" || fail "完成(&F) did not end the program"
ended
cmp -s "$server/Update/Data.pak" "$app/Data.pak" || fail "Data.pak is not the server's"

base=${server_url%/}
for request in "GET $base/Update/Version.txt" "GET $base/Update/Version.ini" \
    "HEAD $base/Update/Main.exe" "HEAD $base/Update/Data.pak" \
    "GET $base/Update/Main.exe" "GET $base/Update/Data.pak"; do
    grep -qF "Request (file descriptor" "$proxy_log" &&
        grep "Request (file descriptor" "$proxy_log" | grep -qF "): $request HTTP/1." ||
        { cat "$proxy_log"; fail "the proxy did not carry \"$request\""; }
done
[ "$(grep -c 'Request (file descriptor' "$proxy_log")" -eq 6 ] ||
    { cat "$proxy_log"; fail "the proxy carried other requests than the six"; }
echo "PASS"
