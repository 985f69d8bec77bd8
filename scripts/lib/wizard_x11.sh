# Drives the real wizard window from outside, in an X server, the way a person would: finds
# the window, clicks its buttons, and waits for what the steps leave behind in the
# application folder and in the update server's request log. Sourced by scripts/demo and by
# the end-to-end upgrade test; needs xdotool.
#
# The window does not tell from outside whether its main button is enabled. A click on a
# disabled button does nothing, so a click is repeated when its effect (a request, a file)
# does not show within a few seconds, and the next click waits for that effect. A click that
# took effect is thus repeated only when its step shows nothing for seconds.

WIZARD_CAPTION="智能在线升级(3.0)"

# Centres of the buttons in the window's client area: the continue button at 219,283, the
# main button at 317,283 and the close button at 416,283, each 89 x 25.
declare -A WIZARD_BUTTON=([continue]="263 295" [main]="361 295" [close]="460 295")

# Runs the command "${@:2}" every tenth of a second until it succeeds, for at most $1
# seconds; fails when it never did.
wait_until() {
    local deadline=$((${EPOCHREALTIME//[.,]/} + $1 * 1000000))
    shift
    until "$@"; do
        ((${EPOCHREALTIME//[.,]/} < deadline)) || return 1
        sleep 0.1
    done
}

# Succeeds when the command "$@" fails.
not() { ! "$@"; }

# Prints the id of a visible window titled exactly $1 once there is one (at most 20 s).
window_titled() {
    local id pattern
    pattern="^$(printf '%s' "$1" | sed 's/[()]/\\&/g')\$"
    for _ in $(seq 200); do
        id=$(xdotool search --onlyvisible --name "$pattern" 2>/dev/null | head -n1) || true
        [ -n "$id" ] && { echo "$id"; return 0; }
        sleep 0.1
    done
    return 1
}

# Prints the id of the visible wizard window once there is one (at most 20 s).
wizard_window() { window_titled "$WIZARD_CAPTION"; }

# Clicks button $2 ("continue" or "main") of window $1.
click_button() {
    # shellcheck disable=SC2086 # the two coordinates
    xdotool mousemove --window "$1" ${WIZARD_BUTTON[$2]} click 1 >/dev/null 2>&1
}

# Clicks button $2 of window $1 until the command "${@:4}" succeeds, giving each click $3
# seconds to show its effect; at most five clicks.
click_until() {
    local window=$1 button=$2 limit=$3
    shift 3
    for _ in 1 2 3 4 5; do
        click_button "$window" "$button" || true
        wait_until "$limit" "$@" && return 0
    done
    return 1
}

# The text of the INI file $1 without carriage returns; nothing when the file is missing. The
# file is opened once: the program may delete it at any moment, and a test that looked for it
# first and read it after would fail in between.
ini_text() { tr -d '\r' 2>/dev/null <"$1" || true; }

# The keys of section $2 of the INI file $1, one a line; section names match in any letter
# case, as the program's INI store matches them. Nothing when the file is missing.
ini_keys() {
    ini_text "$1" | awk -v section="$2" '
        /^\[/ { inside = tolower($0) == "[" tolower(section) "]"; next }
        inside && /=/ { print substr($0, 1, index($0, "=") - 1) }'
}

# The value of key $3 in section $2 of the INI file $1; empty when absent.
ini_value() {
    ini_text "$1" | awk -v section="$2" -v key="$3" '
        /^\[/ { inside = tolower($0) == "[" tolower(section) "]"; next }
        inside && tolower(substr($0, 1, index($0, "=") - 1)) == tolower(key) {
            print substr($0, index($0, "=") + 1); exit }'
}

# Succeeds when the INI file $1 has a section named $2 (in any letter case).
ini_has_section() {
    ini_text "$1" | grep -qix "\[$2\]"
}

# The number of request lines in $SERVER_LOG.
log_lines() { wc -l <"$SERVER_LOG"; }

# The request lines of $SERVER_LOG after the first $1 lines.
requests_since() { tail -n "+$(($1 + 1))" "$SERVER_LOG"; }

# Succeeds when a request line logged after the first $1 lines contains the text $2.
requested_since() { requests_since "$1" | grep -qF -- "$2"; }

# Succeeds when the server has answered no request for a second.
server_quiet() {
    local before
    before=$(log_lines)
    sleep 1
    [ "$(log_lines)" -eq "$before" ]
}

# Succeeds when the install step has begun in the application folder $1: a downloaded file
# has gone from its Update folder (there were $2), or the whole step is over.
install_started() {
    [ ! -e "$1/Version.ini" ] || [ "$(find "$1/Update" -type f | wc -l)" -lt "$2" ]
}

# Succeeds while process $1 runs.
running() { kill -0 "$1" 2>/dev/null; }

# Starts the HTTP server command "$@" in the background with its request log in $SERVER_LOG
# and sets SERVER_PID. The command must print "Serving HTTP" once it listens, as
# "python3 -u -m http.server" does. Fails with status 3 when its port is taken, and with 1
# when it did not come up within 10 s.
start_update_server() {
    local ready status=1
    ready=$(mktemp)
    "$@" >"$ready" 2>"$SERVER_LOG" &
    SERVER_PID=$!
    wait_until 10 server_settled "$ready" || true
    if grep -q "Serving HTTP" "$ready"; then
        rm -f "$ready"
        return 0
    fi
    rm -f "$ready"
    grep -q "Address already in use" "$SERVER_LOG" && status=3
    stop_update_server
    return "$status"
}

# Succeeds when the update server, whose output goes to the file $1, listens or has ended.
server_settled() { grep -q "Serving HTTP" "$1" || not running "$SERVER_PID"; }

# Stops the update server that start_update_server started, if it runs.
stop_update_server() {
    if [ -n "${SERVER_PID:-}" ]; then
        kill "$SERVER_PID" 2>/dev/null || true
        wait "$SERVER_PID" 2>/dev/null || true
        SERVER_PID=
    fi
}

# A throwaway authority (ca.pem) in the folder $1, a certificate for 127.0.0.1 that it signs
# (server.pem, server.key), and another authority that signs nothing here (other.pem).
make_test_authority() {
    mkdir -p "$1"
    (
        cd "$1"
        local key="-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
        # shellcheck disable=SC2086 # the key options
        openssl req -x509 $key -days 2 -subj "/CN=Sendrift Throwaway CA" -keyout ca.key -out ca.pem &&
            openssl req $key -subj /CN=127.0.0.1 -keyout server.key -out server.csr &&
            echo "subjectAltName=IP:127.0.0.1" >san.ext &&
            openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
                -extfile san.ext -out server.pem &&
            openssl req -x509 $key -days 2 -subj "/CN=Another CA" -keyout other.key -out other.pem
    ) 2>/dev/null || fail "openssl could not make the throwaway certificates"
}
