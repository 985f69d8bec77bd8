#!/usr/bin/env bash
# The real program in a real X server against a real HTTP server, clicked through a whole
# upgrade at the places of its buttons: the files it installs, the versions it records and
# the requests it makes. Then the same upgrade killed after its first downloaded file and
# continued from the resume prompt, which must end in the same application folder.
# Usage: upgrade_x11_test.sh SENDRIFT_BINARY BUILT_IN_SERVER_URL   (run under xvfb-run)
set -euo pipefail
program=$1
server_url=$2
source "$(dirname "$0")/wizard_test_lib.sh"

# The run entry reports the environment and working folder it got from the program.
export UPGRADE_MARK="from the test"

# The update from 2.9 to 3.1: copy entries into the application folder and into Plugins, a
# run entry that takes a second, a newer build of the component Bin\Core.dll, and Data.pak,
# sent slowly so that the upgrade can be killed while it downloads.
mkdir -p "$server/Update/Bin"
printf '3.1' >"$server/Update/Version.txt"
printf '%s\r\n' "[VERSION]" "VERSION=3.1" "DATAVERSION=2025.02" "[2.9]" "1=Main.exe;0" \
    "2=Data.pak;0" "3=Filter.dll;0;;Plugins" "4=Migrate.sh;1" "[DLL]" "Bin\\Core.dll=2024-06-01" \
    >"$server/Update/Version.ini"
echo "main 3.1" >"$server/Update/Main.exe"
head -c 262144 /dev/urandom >"$server/Update/Data.pak"
echo "filter 3.1" >"$server/Update/Filter.dll"
echo "core 3.1" >"$server/Update/Bin/Core.dll"
cat >"$server/Update/Migrate.sh" <<'EOF'
#!/bin/sh
sleep 1
echo "migrated in $(pwd -P) $UPGRADE_MARK" >>"$(dirname "$0")/../migrate.log"
EOF

# Lays out the installed version 2.9 in the application folder $1.
lay_out() {
    mkdir -p "$1/Bin" "$1/Plugins"
    cp "$program" "$1/sendrift"
    printf '%s\r\n' "[VERSION]" "VERSION=2.9" "[QUENTAROVER]" "SYSTEM=1" >"$1/setup.ini"
    printf '%s\r\n' "[Main]" "Core=Bin\\Core.dll" >"$1/Default.ini"
    echo "main 2.9" >"$1/Main.exe"
    echo "filter 2.9" >"$1/Plugins/Filter.dll"
    echo "core 2.9" >"$1/Bin/Core.dll"
    touch -d "2020-01-01 12:00" "$1/Bin/Core.dll"
}

# Starts the program in the application folder $1 and clicks "开始(&S)" and, once the update
# is found, "下一步(&N)", which starts the list step.
click_to_list() {
    local mark
    mark=$(log_lines)
    start_wizard "$1"
    click_until "$window" main 5 requested_since "$mark" "GET /Update/Version.txt" ||
        fail "开始(&S) asked for no version"
    wait_until 30 test -d "$1/Update" || fail "the manifest did not arrive"
    click_until "$window" main 5 requested_since "$mark" '"HEAD ' ||
        fail "下一步(&N) started no list step"
}

# Succeeds when the [RUN] keys of the manifest in the application folder $1 are "$2".
journalled() { [ "$(ini_keys "$1/Version.ini" RUN)" = "$2" ]; }

# From the list step started after log line $1, in the application folder $2: waits for its
# $3 size queries, then clicks "下一步(&N)" into the download and install steps and "完成(&F)".
click_from_list() {
    local mark=$1 app=$2 heads=$3 pending
    wait_until 30 heads_since "$mark" "$heads" || fail "not $heads size queries"
    mark=$(log_lines)
    click_until "$window" main 5 requested_since "$mark" '"GET ' || fail "no download started"
    wait_until 60 not ini_has_section "$app/Version.ini" 2.9 || fail "the download did not end"
    pending=$(find "$app/Update" -type f | wc -l)
    click_until "$window" main 5 install_started "$app" "$pending" || fail "no install started"
    wait_until 30 test ! -e "$app/Version.ini" || fail "the install did not end"
    # Written a second after the run entry started, so present only when it was waited for.
    [ -f "$app/migrate.log" ] || fail "the install finished before its run entry"
    click_until "$window" main 5 not running "$wizard" || fail "完成(&F) did not end the program"
    ended
}

# Checks the log lines after the first $1 against the request lines "${@:2}", each answered
# with 200.
expect_requests() {
    local mark=$1
    shift
    diff <(printf '%s HTTP/1.0 200\n' "$@") \
        <(requests_since "$mark" | sed -n 's/^[^"]*"\(.*\)" \([0-9]*\) .*$/\1 \2/p') ||
        fail "requests differ (above: < expected, > seen)"
}

serve_on_built_in_address /Update/Data.pak

# What the program asks the server for from the start to the end of the list step.
up_to_the_list=("GET /Update/Version.txt" "GET /Update/Version.ini" "HEAD /Update/Main.exe"
    "HEAD /Update/Data.pak" "HEAD /Update/Filter.dll" "HEAD /Update/Migrate.sh"
    "HEAD /Update/Bin/Core.dll")

echo "-- an upgrade clicked through"
first=$work/first
lay_out "$first"
click_to_list "$first"
click_from_list 0 "$first" 5
expect_requests 0 "${up_to_the_list[@]}" "GET /Update/Main.exe" "GET /Update/Data.pak" \
    "GET /Update/Filter.dll" "GET /Update/Migrate.sh" "GET /Update/Bin/Core.dll"
# Each installed file beside the server's file it must equal.
for pair in Main.exe:Main.exe Data.pak:Data.pak Filter.dll:Plugins/Filter.dll \
    Bin/Core.dll:Bin/Core.dll Version.ini:CUpdate/Version.ini Main.exe:CUpdate/Main.exe \
    Filter.dll:CUpdate/Filter.dll Migrate.sh:CUpdate/Migrate.sh; do
    cmp -s "$server/Update/${pair%%:*}" "$first/${pair#*:}" ||
        fail "${pair#*:} is not the server's ${pair%%:*}"
done
[ ! -e "$first/Filter.dll" ] || fail "the Plugins entry was copied into the application folder"
[ "$(cat "$first/migrate.log")" = "migrated in $(cd "$work" && pwd -P) from the test" ] ||
    fail "the run entry wrote: $(cat "$first/migrate.log")"
[ "$(ini_value "$first/setup.ini" VERSION VERSION)" = 3.1 ] || fail "setup.ini VERSION"
[ "$(ini_value "$first/setup.ini" VERSION DATAVERSION)" = 2025.02 ] || fail "setup.ini DATAVERSION"
[ ! -e "$first/Version.ini" ] || fail "Version.ini was left"
[ -z "$(find "$first/Update" -type f)" ] ||
    fail "files left in Update: $(find "$first/Update" -type f)"

echo "-- the same upgrade killed after its first download, then continued"
resumed=$work/resumed
lay_out "$resumed"
mark=$(log_lines)
click_to_list "$resumed"
wait_until 30 heads_since "$mark" 5 || fail "not 5 size queries"
click_until "$window" main 5 requested_since "$mark" '"GET /Update/Main.exe' ||
    fail "no download started"
wait_until 30 journalled "$resumed" 1 || fail "the first download was not journalled"
kill_wizard
journalled "$resumed" 1 || fail "more than the first file was journalled"
# Data.pak was still on its way: it takes four seconds.
expect_requests "$mark" "${up_to_the_list[@]}" "GET /Update/Main.exe" "GET /Update/Data.pak"

mark=$(log_lines)
start_wizard "$resumed"
# Only the resume prompt shows the continue button.
click_until "$window" continue 5 requested_since "$mark" '"HEAD ' ||
    fail "继续(&G) started no list step"
click_from_list "$mark" "$resumed" 4
expect_requests "$mark" "HEAD /Update/Data.pak" "HEAD /Update/Filter.dll" \
    "HEAD /Update/Migrate.sh" "HEAD /Update/Bin/Core.dll" \
    "GET /Update/Data.pak" "GET /Update/Filter.dll" "GET /Update/Migrate.sh" \
    "GET /Update/Bin/Core.dll"
diff -r "$first" "$resumed" || fail "the continued upgrade ended differently"
echo "PASS"
