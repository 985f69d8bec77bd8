#!/usr/bin/env bash
# The real program in a real X server, upgrading through the tinyproxy program named by
# http_proxy: every size query and every download must pass the proxy (its log shows each),
# and the update server must see them arrive from it.
# Usage: proxy_x11_test.sh SENDRIFT_BINARY BUILT_IN_SERVER_URL   (run under xvfb-run)
set -euo pipefail
program=$1
server_url=$2
source "$(dirname "$0")/wizard_test_lib.sh"
publish_two_file_update
serve_on_built_in_address
start_tinyproxy
export http_proxy=http://127.0.0.1:$proxy_port
unset no_proxy NO_PROXY

app=$work/app
lay_out_two_file_install "$app"
start_wizard "$app"
click_through_two_file_upgrade "$app"

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
