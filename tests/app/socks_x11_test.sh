#!/usr/bin/env bash
# The real program in a real X server, upgrading through the Dante SOCKS server named by
# all_proxy (socks5h: the proxy looks the names up): every size query and every download must
# pass it. The update server answers each HTTP/1.0 request on a connection of its own, so
# Dante's connections to it must be as many as its requests.
# Usage: socks_x11_test.sh SENDRIFT_BINARY BUILT_IN_SERVER_URL   (run under xvfb-run)
set -euo pipefail
program=$1
server_url=$2
source "$(dirname "$0")/wizard_test_lib.sh"
command -v danted >/dev/null || fail "danted is missing (scripts/setup installs dante-server)"
publish_two_file_update
serve_on_built_in_address

# Dante in the foreground, with its configuration, log and pid file in the work folder.
socks_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
socks_log=$work/danted.log
printf '%s\n' "logoutput: $socks_log" "internal: 127.0.0.1 port = $socks_port" \
    "external: 127.0.0.1" "socksmethod: none" "clientmethod: none" \
    "client pass {" "  from: 127.0.0.0/8 to: 0.0.0.0/0" "}" \
    "socks pass {" "  from: 127.0.0.0/8 to: 0.0.0.0/0" "  command: connect" "  log: connect" "}" \
    >"$work/danted.conf"
danted -f "$work/danted.conf" -p "$work/danted.pid" -N 1 >/dev/null 2>&1 &
socks_pid=$!
trap 'kill "$socks_pid" 2>/dev/null || true; kill_wizard; stop_update_server; rm -rf "$work"' EXIT
wait_until 10 grep -q "running" "$socks_log" || fail "danted did not start"
export all_proxy=socks5h://127.0.0.1:$socks_port
unset no_proxy NO_PROXY

app=$work/app
lay_out_two_file_install "$app"
start_wizard "$app"
click_through_two_file_upgrade "$app"
expect_two_file_requests

server_port=$(python3 -c 'import sys, urllib.parse; print(urllib.parse.urlsplit(sys.argv[1]).port or 80)' "$server_url")
# "pass(1): tcp/connect [: <client> <proxy> -> <proxy's end> 127.0.0.1.<server port>"
through=$(grep -c "pass(.*tcp/connect \[:.* 127\.0\.0\.1\.$server_port\$" "$socks_log" || true)
[ "$through" -eq 6 ] || { cat "$socks_log"; fail "Dante carried $through of the 6 requests"; }
echo "PASS"
