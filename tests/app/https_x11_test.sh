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

# A throwaway authority and a certificate for 127.0.0.1 signed by it.
tls=$work/tls
mkdir -p "$tls"
(
    cd "$tls"
    key="-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
    openssl req -x509 $key -days 2 -subj "/CN=Sendrift Test CA" -keyout ca.key -out ca.pem
    openssl req $key -subj /CN=127.0.0.1 -keyout server.key -out server.csr
    echo "subjectAltName=IP:127.0.0.1" >san.ext
    openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
        -extfile san.ext -out server.pem
    openssl req -x509 $key -days 2 -subj "/CN=Another CA" -keyout other.key -out other.pem
) 2>/dev/null || fail "openssl could not make the certificates"

mkdir -p "$server/Update"
printf '2.0' >"$server/Update/Version.txt"
printf '%s\r\n' "[VERSION]" "VERSION=2.0" "[1.0]" "1=Main.exe;0" "2=Data.pak;0" \
    >"$server/Update/Version.ini"
echo "main 2.0" >"$server/Update/Main.exe"
head -c 100000 /dev/urandom >"$server/Update/Data.pak"

# Succeeds when the number of HEAD requests after the first $1 log lines is $2.
heads_since() { [ "$(requests_since "$1" | grep -c '"HEAD ')" -eq "$2" ]; }

lay_out() {
    mkdir -p "$1"
    cp "$program" "$1/sendrift"
    printf '%s\r\n' "[VERSION]" "VERSION=1.0" >"$1/setup.ini"
    echo "main 1.0" >"$1/Main.exe"
}

for _ in $(seq 60); do
    status=0
    start_update_server python3 -u "$(dirname "$0")/https_server.py" "$port" "$server" \
        "$tls/server.pem" "$tls/server.key" || status=$?
    [ "$status" -eq 3 ] || break
    sleep 1
done
[ "$status" -eq 0 ] || fail "the HTTPS update server did not start (status $status)"

echo "-- an upgrade over TLS"
export SSL_CERT_FILE=$tls/ca.pem
app=$work/app
lay_out "$app"
start_wizard "$app"
click_until "$window" main 5 requested_since 0 "GET /Update/Version.txt" ||
    fail "开始(&S) asked for no version"
wait_until 30 test -d "$app/Update" || fail "the manifest did not arrive"
mark=$(log_lines)
click_until "$window" main 5 requested_since "$mark" '"HEAD ' || fail "no size query"
wait_until 30 heads_since 0 2 || fail "not 2 size queries"
click_until "$window" main 5 requested_since "$mark" '"GET /Update/Main.exe' ||
    fail "no download started"
wait_until 60 not ini_has_section "$app/Version.ini" 1.0 || fail "the download did not end"
click_until "$window" main 5 install_started "$app" 2 || fail "no install started"
wait_until 30 test ! -e "$app/Version.ini" || fail "the install did not end"
click_until "$window" main 5 not running "$wizard" || fail "完成(&F) did not end the program"
ended
cmp -s "$server/Update/Data.pak" "$app/Data.pak" || fail "Data.pak is not the server's"
[ "$(ini_value "$app/setup.ini" VERSION VERSION)" = 2.0 ] || fail "setup.ini VERSION"
diff <(printf '%s\n' "GET /Update/Version.txt" "GET /Update/Version.ini" \
    "HEAD /Update/Main.exe" "HEAD /Update/Data.pak" "GET /Update/Main.exe" \
    "GET /Update/Data.pak") \
    <(sed -n 's/^[^"]*"\([A-Z]* [^ ]*\) HTTP\/1.0" 200 .*$/\1/p' "$SERVER_LOG") ||
    fail "requests differ (above: < expected, > seen over TLS)"

echo "-- an authority the program does not trust gets nothing"
export SSL_CERT_FILE=$tls/other.pem
untrusting=$work/untrusting
lay_out "$untrusting"
mark=$(log_lines)
start_wizard "$untrusting"
click_button "$window" main
sleep 3
[ ! -d "$untrusting/Update" ] || fail "the manifest arrived from an untrusted server"
[ -z "$(requests_since "$mark" | grep '"GET \|"HEAD ')" ] ||
    fail "an untrusted server was asked: $(requests_since "$mark")"
kill_wizard
echo "PASS"
