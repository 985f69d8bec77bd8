#!/usr/bin/env bash
# The real program, built for an update server at https://127.0.0.1:<port>, in a real X server:
# a whole upgrade over TLS, where the server's certificate comes from an authority made here
# and trusted through SSL_CERT_FILE. Both the downloads and the size queries must reach the
# server over TLS (a plain request would not even be understood there), and a program that
# does not trust the authority must get nothing.
# Usage: https_x11_test.sh SENDRIFT_HTTPS_BINARY ITS_SERVER_URL   (run under xvfb-run)
set -euo pipefail
program=$1
server_url=$2
source "$(dirname "$0")/wizard_test_lib.sh"

if [[ ! $server_url =~ ^https://127\.0\.0\.1:([0-9]+)$ ]]; then
    echo "SKIP: the program's server address $server_url is not on this machine"
    exit 77
fi
port=${BASH_REMATCH[1]}

tls=$work/tls
make_test_authority "$tls"
publish_two_file_update
serve_over_tls "$port" "$tls"

echo "-- an upgrade over TLS"
export SSL_CERT_FILE=$tls/ca.pem
app=$work/app
lay_out_two_file_install "$app"
start_wizard "$app"
click_through_two_file_upgrade "$app"
expect_two_file_requests

echo "-- an authority the program does not trust gets nothing"
export SSL_CERT_FILE=$tls/other.pem
untrusting=$work/untrusting
lay_out_two_file_install "$untrusting"
mark=$(log_lines)
start_wizard "$untrusting"
click_button "$window" main
sleep 3
[ ! -d "$untrusting/Update" ] || fail "the manifest arrived from an untrusted server"
[ -z "$(requests_since "$mark" | grep '"GET \|"HEAD ')" ] ||
    fail "an untrusted server was asked: $(requests_since "$mark")"
kill_wizard
echo "PASS"
