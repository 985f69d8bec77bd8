#!/usr/bin/env bash
# Crash consistency of the upgrade journal. The real program is killed with SIGKILL at twenty
# exact system calls of the download and install steps (strace's fault injection: between and
# inside journal writes, inside a download, inside a copy into place or into CUpdate, between a
# journal entry's removal and its copy's deletion, inside the finish), each time started again
# and continued from the resume prompt. After every run the journal is whole and holds each
# entry of the manifest at most once, and an entry it no longer holds is installed; every
# continued upgrade ends in the application folder of an uninterrupted one.
# Usage: crash_x11_test.sh SENDRIFT_BINARY BUILT_IN_SERVER_URL   (run under xvfb-run)
set -euo pipefail
program=$1
server_url=$2
source "$(dirname "$0")/wizard_test_lib.sh"

require_strace
# strace matches paths as the program writes them: absolute, without symbolic links.
work=$(cd "$work" && pwd -P)
server=$work/server
started=$EPOCHSECONDS

# The update from 2.9 to 3.0, twenty entries in download and install order: copy entries into
# the application folder and into Plugins, run entries that leave a mark beside the Update
# folder (running one twice does no harm), and Big.dat, which is written in several pieces.
# For each key: the file's name, the entry's value and where it is installed below the
# application folder (a run entry: its mark).
names=("") values=("") places=("")
for key in $(seq 20); do
    case $key in
        1) name=Main.exe value="$name;0" place=$name ;;
        5) name=Big.dat value="$name;0" place=$name ;;
        3 | 9 | 15) name=Plug$key.dll value="$name;0;;Plugins" place=Plugins/$name ;;
        4 | 11 | 17) name=Run$key.sh value="$name;1" place=$name.ran ;;
        *) name=Lib$key.dll value="$name;0" place=$name ;;
    esac
    names+=("$name") values+=("$value") places+=("$place")
done
keys=$(seq 20)
mkdir -p "$server/Update"
printf '3.0' >"$server/Update/Version.txt"
{
    printf '%s\r\n' "[VERSION]" "VERSION=3.0" "DATAVERSION=2025.03" "[2.9]"
    for key in $keys; do printf '%s\r\n' "$key=${values[key]}"; done
} >"$server/Update/Version.ini"
for key in $keys; do
    file=$server/Update/${names[key]}
    # shellcheck disable=SC2016 # the run entry's own shell expands $0
    case ${values[key]} in
        *";1") printf '#!/bin/sh\ntouch "${0%%/Update/*}/${0##*/}.ran"\n' >"$file" ;;
        Big.dat*) head -c $((3 * 1048576 + 4321)) /dev/urandom >"$file" ;;
        *) { echo "${names[key]} 3.0" && head -c $((key * 397)) /dev/urandom; } >"$file" ;;
    esac
done
# One copy of the program that every application folder links to.
cp "$program" "$work/sendrift"

# Lays out the installed version 2.9, which keeps installed files in CUpdate, in the
# application folder $1.
lay_out() {
    local key
    mkdir -p "$1/Plugins"
    ln "$work/sendrift" "$1/sendrift"
    printf '%s\r\n' "[VERSION]" "VERSION=2.9" "DATAVERSION=2024.01" "[QUENTAROVER]" "SYSTEM=1" \
        >"$1/setup.ini"
    for key in $keys; do
        [[ ${values[key]} == *";1" ]] || echo "${names[key]} 2.9" >"$1/${places[key]}"
    done
}

# Fills the associative array `sums` with the checksums of the files below the folder $1, by
# path.
declare -A sums
read_sums() {
    local sum path
    sums=()
    while read -r sum path; do sums[$path]=$sum; done < <(find "$1" -type f -exec md5sum {} +)
}
read_sums "$server/Update"
# The checksum of each entry's new file, by key.
new=("")
for key in $keys; do new+=("${sums[$server/Update/${names[key]}]}"); done

# Fills the associative array named $2 from the INI file $1: "section" for each section and
# "section/key" with the value for each key, names in lower case. Fails on a line that is no
# section header or key, and on a section, or a key in its section, that comes twice.
read_ini() {
    local -n into=$2
    local section key value
    into=()
    while IFS=$'\t' read -r section key value; do
        [ "$section" != "!" ] || fail "$1: $key"
        # shellcheck disable=SC2004,SC2034 # an associative array, filled for the caller
        if [ "$key" = "[" ]; then into[$section]=1; else into[$section/$key]=$value; fi
    done < <(tr -d '\r' <"$1" | awk -v OFS='\t' '
        /^$/ { next }
        /^\[[^]]+\]$/ {
            section = tolower(substr($0, 2, length($0) - 2))
            if (sections[section]++) print "!", "twice: " $0
            else print section, "["
            next }
        /^[^=[]+=/ {
            key = tolower(substr($0, 1, index($0, "=") - 1))
            if (keys[section, key]++) print "!", "twice: " $0
            else print section, key, substr($0, index($0, "=") + 1)
            next }
        { print "!", "no INI line: " $0 }')
}

# Succeeds when entry $2 is installed in the application folder $1, whose checksums `sums`
# holds: in place (or run) and kept in CUpdate.
installed() {
    [ "${sums[$1/CUpdate/${names[$2]}]:-}" = "${new[$2]}" ] || return 1
    if [[ ${values[$2]} == *";1" ]]; then
        [ -e "$1/${places[$2]}" ]
    else
        [ "${sums[$1/${places[$2]}]:-}" = "${new[$2]}" ]
    fi
}

# The number of keys in section $1 of `journal`.
keys_in() {
    local entry count=0
    for entry in "${!journal[@]}"; do [[ $entry != "$1"/* ]] || count=$((count + 1)); done
    echo "$count"
}

# Checks the application folder $1 after a run and leaves its journal in `journal`: setup.ini
# and the journal are whole INI files, setup.ini holds an installed version, and every entry of
# the manifest is in exactly one of the manifest section, [RUN] with its complete download, or
# installed. Without a journal every entry must be installed and the new version recorded.
declare -A journal setup
check_journal() {
    local app=$1 key entry
    read_ini "$app/setup.ini" setup
    [ -n "${setup[version/version]:-}" ] || fail "setup.ini holds no VERSION"
    read_sums "$app"
    journal=()
    if [ ! -e "$app/Version.ini" ]; then
        [ "${setup[version/version]}" = 3.0 ] && [ "${setup[version/dataversion]:-}" = 2025.03 ] ||
            fail "the journal is gone, but setup.ini does not hold 3.0 and 2025.03"
        for key in $keys; do
            installed "$app" "$key" || fail "entry $key (${names[key]}) is lost"
        done
        return 0
    fi
    read_ini "$app/Version.ini" journal
    [ "${journal[version/version]:-}" = 3.0 ] || fail "the journal lost [VERSION]"
    for entry in "${!journal[@]}"; do
        [[ $entry =~ ^(version|2\.9|run)(/version|/dataversion|/[1-9]|/1[0-9]|/20)?$ ]] ||
            fail "the journal holds $entry, which the manifest never had"
    done
    for key in $keys; do
        case ${journal[2.9/$key]+waiting}${journal[run/$key]+running} in
            waiting)
                [ "${journal[2.9/$key]}" = "${values[key]}" ] ||
                    fail "entry $key changed in the manifest section"
                ! installed "$app" "$key" || fail "entry $key installed before its download"
                ;;
            running)
                [ "${journal[run/$key]}" = "${values[key]}" ] || fail "entry $key changed in [RUN]"
                [ "${sums[$app/Update/${names[key]}]:-}" = "${new[key]}" ] ||
                    fail "entry $key is in [RUN] without its complete download"
                ;;
            "") installed "$app" "$key" || fail "entry $key (${names[key]}) is lost" ;;
            *) fail "entry $key (${names[key]}) is in both the manifest section and [RUN]" ;;
        esac
    done
}

# Succeeds when the command "$@" succeeds or the program has ended.
or_ended() { "$@" || not running "$wizard"; }

# Succeeds when, after the continue button was clicked in the application folder $1 with
# request log line $2 and $3 files in Update, the list step has queried a size or the steps
# have run on into the install.
continued() { requested_since "$2" '"HEAD ' || install_started "$1" "$3"; }

update_files() { find "$1/Update" -type f | wc -l; }

# Clicks the program in the application folder $1 on through the upgrade from the welcome page
# ($2 "start") or from the resume prompt ($2 "continue") until its finish button ends it, or
# until it ends otherwise.
drive() {
    local app=$1 mark left files
    mark=$(log_lines)
    if [ "$2" = start ]; then
        click_until "$window" main 5 or_ended requested_since "$mark" "GET /Update/Version.txt" ||
            fail "开始(&S) asked for no version"
        wait_until 30 or_ended test -d "$app/Update" || fail "the manifest did not arrive"
        click_until "$window" main 5 or_ended requested_since "$mark" '"HEAD ' ||
            fail "下一步(&N) started no list step"
    else
        files=$(update_files "$app")
        click_until "$window" continue 5 or_ended continued "$app" "$mark" "$files" ||
            fail "继续(&G) did not go on"
    fi
    running "$wizard" || return 0
    # The list step queries the size of every entry still in the manifest section; with none
    # left, the steps run on into the install without a click.
    left=$(ini_keys "$app/Version.ini" 2.9 | wc -l)
    if [ "$left" -gt 0 ]; then
        wait_until 30 or_ended heads_since "$mark" "$left" || fail "not $left size queries"
        mark=$(log_lines)
        click_until "$window" main 5 or_ended requested_since "$mark" '"GET ' ||
            fail "下一步(&N) started no download"
        wait_until 60 or_ended not ini_has_section "$app/Version.ini" 2.9 ||
            fail "the download did not end"
        running "$wizard" || return 0
        files=$(update_files "$app")
        click_until "$window" main 5 or_ended install_started "$app" "$files" ||
            fail "下一步(&N) started no install"
    fi
    wait_until 60 or_ended test ! -e "$app/Version.ini" || fail "the install did not end"
    running "$wizard" || return 0
    click_until "$window" main 5 not running "$wizard" || fail "完成(&F) did not end the program"
}

serve_on_built_in_address

echo "-- an uninterrupted upgrade"
reference=$work/reference
lay_out "$reference"
start_wizard "$reference"
drive "$reference" start
ended
check_journal "$reference"
[ -z "$(find "$reference/Update" -type f)" ] || fail "the upgrade left files in Update"
[ -z "$(find "$reference" -name '*.sendrift-new')" ] || fail "the upgrade left temporary files"
echo "   took $((EPOCHSECONDS - started)) s"

# Where the program is killed: the system call, the path it acts on below the application
# folder, its invocation on that path that is killed (per thread: a download's writes count
# anew), the keys then left in the manifest section ("-": the section is gone) and in [RUN],
# and whether the path stays behind after the continued upgrade. Every file that replaces
# another is written as "<name>.sendrift-new" and renamed over it (strace matches a rename by
# its first path only); the continued upgrade writes the same names again, so none stays. The
# install puts consecutive copy entries in place as one batch: 1-3, 5-10, 12-16 and 18-20,
# each followed by one journal write, with the run entries 4, 11 and 17 between them.
kill_points=(
    "rename Version.ini.sendrift-new 1 20 0 - the first download in, its move not yet written"
    "write Version.ini.sendrift-new 2 19 1 - inside the second move: its copy still empty"
    "write Update/Big.dat.part 1 16 4 - Big.dat opened, nothing written"
    "write Update/Big.dat.part 3 16 4 - Big.dat partly written"
    "rename Version.ini.sendrift-new 5 16 4 - Big.dat in, its move not yet written"
    "rename Version.ini.sendrift-new 10 11 9 - the tenth download in, its move not yet written"
    "rename Version.ini.sendrift-new 15 6 14 - the fifteenth download in, its move not yet written"
    "rename Version.ini.sendrift-new 20 1 19 - the last download in, its move not yet written"
    "rename Version.ini.sendrift-new 21 0 20 - all moved, the empty section not yet removed"
    "rename Main.exe.sendrift-new 1 - 20 - the first batch written, none of it in place"
    "rename CUpdate/Plug3.dll.sendrift-new 1 - 20 - the first batch in place but its last copy"
    "rename Version.ini.sendrift-new 22 - 20 - the first batch in place, its keys not yet removed"
    "unlink Update/Plug3.dll 1 - 17 stays the first batch's keys gone, Plug3.dll's copy not deleted"
    "rename Version.ini.sendrift-new 23 - 17 - Run4.sh has run, its key not yet removed"
    "rename Plugins/Plug9.dll.sendrift-new 1 - 16 - inside the second batch, Plug9.dll not in Plugins"
    "unlink Update/Run11.sh 1 - 9 stays Run11.sh has run and left [RUN], its download not deleted"
    "rename Version.ini.sendrift-new 28 - 3 - the last batch in place, its keys not yet removed"
    "rename setup.ini.sendrift-new 1 - 0 - the finish: no version recorded yet"
    "rename setup.ini.sendrift-new 2 - 0 - the finish: VERSION recorded, DATAVERSION not yet"
    "unlink Version.ini 1 - 0 - the finish: versions recorded, the journal not yet deleted"
)

number=0
for point in "${kill_points[@]}"; do
    read -r call path when waiting running stays what <<<"$point"
    number=$((number + 1))
    echo "-- kill $number: $call $path #$when ($what)"
    app=$work/kill$number
    lay_out "$app"
    start_wizard "$app"
    killed=$wizard
    path=$app/$path
    strace -f -qq -o /dev/null -P "$path" -e trace="$call" \
        -e inject="$call":signal=KILL:when="$when" -p "$killed" &
    tracer=$!
    wait_until 10 traced_by "$killed" "$tracer" || fail "strace did not attach"
    drive "$app" start
    code=0
    wait "$wizard" || code=$?
    wizard=
    wait "$tracer" || true
    [ "$code" -eq 137 ] || fail "the program was not killed there (exit code $code)"
    # The killed call did not happen: the copy was not renamed, the file not deleted; a write
    # into a download left a part of it.
    [ -e "$path" ] || fail "$path is missing after the kill"
    if [ "$call" = write ] && [[ $path == */Update/* ]]; then
        size=$(stat -c %s "$path")
        name=${path##*/}
        [ "$size" -lt "$(stat -c %s "$server/Update/${name%.part}")" ] &&
            { [ "$when" -eq 1 ] || [ "$size" -gt 0 ]; } ||
            fail "$path holds $size bytes after the kill in write $when"
    fi
    check_journal "$app"
    if [ "$waiting" = - ]; then
        [ -z "${journal[2.9]+set}" ] || fail "the manifest section is still there"
    else
        [ -n "${journal[2.9]+set}" ] && [ "$(keys_in 2.9)" -eq "$waiting" ] ||
            fail "not $waiting keys left in the manifest section"
    fi
    [ "$(keys_in run)" -eq "$running" ] || fail "not $running keys in [RUN]"

    start_wizard "$app"
    drive "$app" continue
    ended
    check_journal "$app"
    if [ "$stays" = stays ]; then
        [ -e "$path" ] || fail "$path is gone"
        rm "$path"
    fi
    diff -r "$reference" "$app" || fail "the continued upgrade ended differently"
done
echo "PASS in $((EPOCHSECONDS - started)) s"
