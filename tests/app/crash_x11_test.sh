#!/usr/bin/env bash
# Crash consistency of the upgrade journal, for both faces of the program. The real program is
# killed with SIGKILL at exact system calls of the download and install steps (strace's fault
# injection: before and inside the flush and the journal write of a batch of arrivals, inside a
# download, inside a copy into place or into CUpdate, between a journal entry's removal and its
# copy's deletion, inside the finish), and once with a plain kill -9 inside a download. Each
# killed run is continued by the next run; the killed run and the continuing one are the wizard
# (driven through its pages and its resume prompt) or `sendrift --unattended`, in every
# combination. After every run the journal is whole and holds each entry of the manifest in
# exactly one place, an entry in [RUN] with its complete download, and entries in list order;
# an entry it no longer holds is installed; every continued upgrade ends in the application
# folder of an uninterrupted one.
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
for key in $keys; do
    file=$server/Update/${names[key]}
    # shellcheck disable=SC2016 # the run entry's own shell expands $0
    case ${values[key]} in
        *";1") printf '#!/bin/sh\ntouch "${0%%/Update/*}/${0##*/}.ran"\n' >"$file" ;;
        Big.dat*) head -c $((3 * 1048576 + 4321)) /dev/urandom >"$file" ;;
        *) { echo "${names[key]} 3.0" && head -c $((key * 397)) /dev/urandom; } >"$file" ;;
    esac
done
printf '3.0' >"$server/Update/Version.txt"
{
    printf '%s\r\n' "[VERSION]" "VERSION=3.0" "DATAVERSION=2025.03" "[2.9]"
    for key in $keys; do printf '%s\r\n' "$key=${values[key]}"; done
} >"$server/Update/Version.ini"
# While these files exist, the server answers no request for the last file, or for the first.
last=${names[20]}
hold=$server/Update/$last.hold
hold_first=$server/Update/${names[1]}.hold
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

# Succeeds when the number $1 is what $2 says: a number, or a range "low-high".
counts() { [ "$1" -ge "${2%-*}" ] && [ "$1" -le "${2#*-}" ]; }

# Checks the application folder $1 after a run and leaves its journal in `journal`: setup.ini
# and the journal are whole INI files, setup.ini holds an installed version, and every entry of
# the manifest is in exactly one of the manifest section, [RUN] with its complete download, or
# installed, in that order along the manifest: downloads join [RUN] and leave it in list order.
# Without a journal every entry must be installed and the new version recorded.
declare -A journal setup
check_journal() {
    local app=$1 key entry stage previous=installed
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
        [[ $entry =~ ^(version(/version|/dataversion)?|(2\.9|run)(/[1-9]|/1[0-9]|/20)?)$ ]] ||
            fail "the journal holds $entry, which the manifest never had"
    done
    for key in $keys; do
        stage=${journal[2.9/$key]+waiting}${journal[run/$key]+running}
        case $stage in
            waiting)
                [ "${journal[2.9/$key]}" = "${values[key]}" ] ||
                    fail "entry $key changed in the manifest section"
                ! installed "$app" "$key" || fail "entry $key installed before its download"
                ;;
            running)
                [ "${journal[run/$key]}" = "${values[key]}" ] || fail "entry $key changed in [RUN]"
                [ "${sums[$app/Update/${names[key]}]:-}" = "${new[key]}" ] ||
                    fail "entry $key is in [RUN] without its complete download"
                [ "$previous" != waiting ] || fail "entry $key is in [RUN] before an earlier one"
                ;;
            "")
                installed "$app" "$key" || fail "entry $key (${names[key]}) is lost"
                [ "$previous" = installed ] || fail "entry $key is installed before an earlier one"
                stage=installed
                ;;
            *) fail "entry $key (${names[key]}) is in both the manifest section and [RUN]" ;;
        esac
        previous=$stage
    done
}

# Succeeds when the command "$@" succeeds or the program has ended.
or_ended() { "$@" || not running "$wizard"; }

# Succeeds when, after the continue button was clicked in the application folder $1 with
# request log line $2 and $3 files in Update, the list step has queried a size or the steps
# have run on into the install.
continued() { requested_since "$2" '"HEAD ' || install_started "$1" "$3"; }

update_files() { find "$1/Update" -type f | wc -l; }

# When the program is killed: `attach` says when the tracer attaches ("start": before the
# program does anything; "held": once the server holds back the last file; empty: never), and
# `call`, `path` and `when` at which system call. Counted from the held-back last file, the
# journal writes that follow do not depend on how the earlier arrivals fell into batches.
attach=""
tracer=""
attach_killer() {
    strace -f -qq -o /dev/null -P "$path" -e trace="$call" \
        -e inject="$call":signal=KILL:when="$when" -p "$wizard" &
    tracer=$!
    wait_until 10 traced_by "$wizard" "$tracer" || fail "strace did not attach"
}

# Succeeds when the journal in the application folder $1 waits for the last file alone, with
# every other one in [RUN].
waits_for_last_file() {
    local text
    text=$(ini_text "$1/Version.ini")
    [ "$(ini_keys <(echo "$text") 2.9)" = 20 ] &&
        [ "$(ini_keys <(echo "$text") run | wc -l)" -eq 19 ]
}

# Lets the server answer the last file's size query, which it holds back with the download, the
# request log of this run starting after line $1: once the first file's size is known, the
# first file's download is held back instead, until the last file's size has been answered and
# its hold is in place again. Neither download can have started in the meantime.
pass_size_query() {
    wait_until 30 or_ended requested_since "$1" "HEAD /Update/${names[1]} " ||
        fail "the first file's size was not queried"
    touch "$hold_first"
    rm "$hold"
    wait_until 30 or_ended requested_since "$1" "HEAD /Update/$last " ||
        fail "the last file's size was not queried"
    touch "$hold"
    rm "$hold_first"
}

# Lets the server answer for the last file, which it holds back, once the program in the
# application folder $1 has journalled every other arrival (a journal write is due a second
# after the arrivals at the latest), or once the program has ended.
release_last_file() {
    wait_until 30 or_ended waits_for_last_file "$1" ||
        fail "the journal did not come to wait for the last file alone"
    if [ "$attach" = held ] && running "$wizard"; then attach_killer; fi
    rm -f "$hold"
}

# Runs the wizard in the application folder $1 and clicks it on through the upgrade from the
# welcome page ($2 "start") or from the resume prompt ($2 "continue") until its finish button
# ends it, or until it ends otherwise.
drive_wizard() {
    local app=$1 mark left files
    start_wizard "$app"
    [ "$attach" != start ] || attach_killer
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
    [ ! -e "$hold" ] || pass_size_query "$mark"
    # The list step queries the size of every entry still in the manifest section; with none
    # left, the steps run on into the install without a click.
    left=$(ini_keys "$app/Version.ini" 2.9 | wc -l)
    if [ "$left" -gt 0 ]; then
        wait_until 30 or_ended heads_since "$mark" "$left" || fail "not $left size queries"
        mark=$(log_lines)
        click_until "$window" main 5 or_ended requested_since "$mark" '"GET ' ||
            fail "下一步(&N) started no download"
        [ ! -e "$hold" ] || release_last_file "$app"
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

# Runs `sendrift --unattended` in the application folder $1, which starts the upgrade or
# continues its journal by itself, with its output in $1.out. It is held at a gate until the
# tracer, if any, has attached.
drive_unattended() {
    local app=$1 gate=$work/gate mark
    rm -f "$gate"
    mkfifo "$gate"
    (cd "$work" && read -r _ <"$gate" && exec "$app/sendrift" --unattended) >>"$app.out" 2>&1 &
    wizard=$!
    [ "$attach" != start ] || attach_killer
    mark=$(log_lines)
    echo >"$gate"
    if [ -e "$hold" ]; then
        pass_size_query "$mark"
        release_last_file "$app"
    fi
}

# Runs the face $1 ("wizard" or "unattended") in the application folder $2 from the start or
# to continue ($3).
drive() {
    if [ "$1" = wizard ]; then drive_wizard "$2" "$3"; else drive_unattended "$2"; fi
}

# Compares the application folder $1 with the uninterrupted upgrade's. sendrift.log differs
# between runs: its lines carry times, an unattended run logs its start and outcome there, and
# a continued run may log why it stopped. The lock file, which both faces leave empty, is
# compared.
same_as_reference() {
    diff -r -x sendrift.log "$reference" "$1" || fail "$1 ended differently (above: < reference)"
}

serve_on_built_in_address

echo "-- an uninterrupted upgrade, by each face"
reference=$work/reference
lay_out "$reference"
drive wizard "$reference" start
ended
check_journal "$reference"
[ -z "$(find "$reference/Update" -type f)" ] || fail "the upgrade left files in Update"
[ -z "$(find "$reference" -name '*.sendrift-new')" ] || fail "the upgrade left temporary files"
lay_out "$work/unattended"
drive unattended "$work/unattended" start
ended
same_as_reference "$work/unattended"
echo "   took $((EPOCHSECONDS - started)) s"

# Where the program is killed: when the tracer attaches, the system call, the path it acts on
# below the application folder, its invocation on that path that is killed (counted from the
# attach, per thread: a download's writes count anew), the keys then left in the manifest
# section ("-": the section is gone) and in [RUN] (a range where it depends on how the
# arrivals fell into batches), and whether the path stays behind after the continued upgrade.
# The download flushes the file system of Update and then moves what arrived to [RUN] in one
# journal write, a second after the earlier write at the latest; the server holds back the
# last file until every other one is in [RUN], so that it comes in a batch of its own, and
# the tracer attaches "held" in that pause.
# Every file that replaces another is written as "<name>.sendrift-new" and renamed over it
# (strace matches a rename by its first path only); the continued upgrade writes the same
# names again, so none stays. The install puts consecutive copy entries in place as one
# batch: 1-3, 5-10, 12-16 and 18-20, each followed by one journal write, with the run entries
# 4, 11 and 17 between them.
kill_points=(
    "start syncfs Update 1 20 0 - the first arrivals in, not yet flushed"
    "start write Version.ini.sendrift-new 1 20 0 - inside the first move: its copy still empty"
    "start rename Version.ini.sendrift-new 1 20 0 - the first arrivals flushed, not yet moved"
    "start write Update/Big.dat.part 1 16-20 0-4 - Big.dat opened, nothing written"
    "start write Update/Big.dat.part 3 16-20 0-4 - Big.dat partly written"
    "start syncfs Update 2 1-19 1-19 - later arrivals in, not yet flushed"
    "start rename Version.ini.sendrift-new 2 1-19 1-19 - later arrivals flushed, not yet moved"
    "held syncfs Update 1 1 19 - the last file in, not yet flushed"
    "held rename Version.ini.sendrift-new 1 1 19 - the last file flushed, its move not yet written"
    "held rename Version.ini.sendrift-new 2 0 20 - all moved, the empty section not yet removed"
    "held rename Main.exe.sendrift-new 1 - 20 - the first batch written, none of it in place"
    "held rename CUpdate/Plug3.dll.sendrift-new 1 - 20 - the first batch in place but its last copy"
    "held rename Version.ini.sendrift-new 3 - 20 - the first batch in place, its keys not yet removed"
    "held unlink Update/Plug3.dll 1 - 17 stays the first batch's keys gone, Plug3.dll's copy not deleted"
    "held rename Version.ini.sendrift-new 4 - 17 - Run4.sh has run, its key not yet removed"
    "held rename Plugins/Plug9.dll.sendrift-new 1 - 16 - inside the second batch, Plug9.dll not in Plugins"
    "held unlink Update/Run11.sh 1 - 9 stays Run11.sh has run and left [RUN], its download not deleted"
    "held rename Version.ini.sendrift-new 9 - 3 - the last batch in place, its keys not yet removed"
    "held rename setup.ini.sendrift-new 1 - 0 - the finish: no version recorded yet"
    "held rename setup.ini.sendrift-new 2 - 0 - the finish: VERSION recorded, DATAVERSION not yet"
    "held unlink Version.ini 1 - 0 - the finish: versions recorded, the journal not yet deleted"
)
# The faces of the killed run and of the one that continues it, taken in turn.
face_pairs=("wizard unattended" "unattended wizard" "wizard wizard" "unattended unattended")

number=0
for point in "${kill_points[@]}"; do
    read -r attach call path when waiting running stays what <<<"$point"
    read -r killed_face continuing_face <<<"${face_pairs[number % 4]}"
    number=$((number + 1))
    from=${attach/held/held-back last file}
    echo "-- kill $number: $call $path #$when from the $from ($what), $killed_face → $continuing_face"
    app=$work/kill$number
    lay_out "$app"
    path=$app/$path
    touch "$hold"
    drive "$killed_face" "$app" start
    ended 137
    wait "$tracer" || true
    rm -f "$hold" "$hold_first"
    attach=
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
        [ -n "${journal[2.9]+set}" ] && counts "$(keys_in 2.9)" "$waiting" ||
            fail "not $waiting keys left in the manifest section"
    fi
    counts "$(keys_in run)" "$running" || fail "not $running keys in [RUN]"

    drive "$continuing_face" "$app" continue
    ended
    check_journal "$app"
    if [ "$stays" = stays ]; then
        [ -e "$path" ] || fail "$path is gone"
        rm "$path"
    fi
    same_as_reference "$app"
done

echo "-- kill -9 of an unattended run inside the download of Big.dat, continued by the wizard"
# The server restarts with Big.dat trickling, so that its download is caught half-way: the
# copy grows by a mebibyte (the download's write buffer) every 16 s at the server's pace.
stop_update_server
serve_on_built_in_address /Update/Big.dat
app=$work/plain
lay_out "$app"
drive unattended "$app" start
part=$app/Update/Big.dat.part
wait_until 30 or_ended test -s "$part" || fail "no part of Big.dat was written"
kill -9 "$wizard" 2>/dev/null || true
ended 137
size=$(stat -c %s "$part")
[ "$size" -lt "$(stat -c %s "$server/Update/Big.dat")" ] || fail "Big.dat arrived whole"
check_journal "$app"
counts "$(keys_in 2.9)" 16-20 && counts "$(keys_in run)" 0-4 || fail "Big.dat's entry left its place"
stop_update_server
serve_on_built_in_address
drive wizard "$app" continue
ended
check_journal "$app"
same_as_reference "$app"
echo "PASS in $((EPOCHSECONDS - started)) s"
