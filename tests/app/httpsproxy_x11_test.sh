#!/usr/bin/env bash
# The real program, built for an update server at https://127.0.0.1:<port>, upgrading through
# the tinyproxy program named by https_proxy: every size query and every download goes through
# a CONNECT tunnel of the proxy (its log shows each tunnel; inside it the program speaks TLS to
# the update server, which sees every request).
# Usage: httpsproxy_x11_test.sh SENDRIFT_HTTPS_BINARY ITS_SERVER_URL   (run under xvfb-run)
set -euo pipefail
program=$1
server_url=$2
source "$(dirname "$0")/wizard_test_lib.sh"

if [[ ! $server_url =~ ^https://127\.0\.0\.1:([0-9]+)$ ]]; then
    echo "SKIP: the program's server address $server_url is not on this machine"
    exit 77
fi
port=${BASH_REMATCH[1]}

make_test_authority "$work/tls"
publish_two_file_update
serve_over_tls "$port" "$work/tls"
start_tinyproxy
export https_proxy=http://127.0.0.1:$proxy_port SSL_CERT_FILE=$work/tls/ca.pem
unset no_proxy NO_PROXY SSL_CERT_DIR

app=$work/app
lay_out_two_file_install "$app"
start_wizard "$app"
click_through_two_file_upgrade "$app"
expect_two_file_requests
# Each size query opens a tunnel of its own; the downloads keep theirs open.
tunnels=$(grep -c "Request (file descriptor [0-9]*): CONNECT 127.0.0.1:$port HTTP/1." \
    "$proxy_log" || true)
[ "$tunnels" -ge 3 ] || { cat "$proxy_log"; fail "the proxy opened $tunnels tunnels, not 3 or more"; }
[ "$(grep -c 'Request (file descriptor' "$proxy_log")" -eq "$tunnels" ] ||
    { cat "$proxy_log"; fail "the proxy carried other requests than tunnels"; }
echo "PASS"
