#!/usr/bin/env bash
# The order of writes and flushes of the real program in a real X server, traced with strace
# through one upgrade: every file that replaces another (a copy entry in place, its copy in
# CUpdate, each move of the journal, setup.ini) is written beside its target, flushed, renamed
# over it, and then its folder is flushed before the next record; and every downloaded copy is
# flushed before the
# journal write that moves its entry to [RUN]. A power cut at any point then leaves the old or
# the new file, and never a journal that names a copy still empty on disk.
# Usage: flushorder_x11_test.sh SENDRIFT_BINARY BUILT_IN_SERVER_URL   (run under xvfb-run)
set -euo pipefail
program=$1
server_url=$2
source "$(dirname "$0")/wizard_test_lib.sh"
source "$(dirname "$0")/click_through_lib.sh"

require_strace
# strace shows the paths of descriptors resolved: absolute, without symbolic links.
work=$(cd "$work" && pwd -P)
server=$work/server

# The update from 2.9 to 3.0: a copy entry into the application folder, one into Plugins, and
# Big.dat, which the program writes in several pieces.
mkdir -p "$server/Update"
printf '3.0' >"$server/Update/Version.txt"
printf '%s\r\n' "[VERSION]" "VERSION=3.0" "[2.9]" "1=Main.exe;0" "2=Filter.dll;0;;Plugins" \
    "3=Big.dat;0" >"$server/Update/Version.ini"
echo "main 3.0" >"$server/Update/Main.exe"
echo "filter 3.0" >"$server/Update/Filter.dll"
head -c $((3 * 1048576 + 4321)) /dev/urandom >"$server/Update/Big.dat"

app=$work/app
mkdir -p "$app/Plugins"
cp "$program" "$app/sendrift"
printf '%s\r\n' "[VERSION]" "VERSION=2.9" "[QUENTAROVER]" "SYSTEM=1" >"$app/setup.ini"
echo "main 2.9" >"$app/Main.exe"
echo "filter 2.9" >"$app/Plugins/Filter.dll"

serve_on_built_in_address

# Under AddressSanitizer the traced program ends normally, and LeakSanitizer cannot work in a
# process that strace traces: it would abort the program at its end.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
start_wizard "$app"
trace=$work/trace
strace -f -qq -y -o "$trace" -e trace=openat,write,fsync,fdatasync,syncfs,rename,renameat,renameat2 \
    -p "$wizard" &
tracer=$!
wait_until 10 traced_by "$wizard" "$tracer" || fail "strace did not attach"
click_through_upgrade "$app" 3
wait "$tracer" || true
cmp -s "$server/Update/Big.dat" "$app/Big.dat" || fail "Big.dat was not installed"

# Reads the trace: each system call with the position of its start and of its end (a call
# that another thread interrupted in the trace ends at its "resumed" line), its thread, and
# the path it acts on (a descriptor's path, as -y shows it; the paths of a rename).
python3 - "$trace" "$app" <<'PYTHON' || fail "the order of writes and flushes is wrong (above)"
import os
import re
import sys

trace, app = sys.argv[1], sys.argv[2]
calls, pending = [], {}
for index, line in enumerate(open(trace, encoding="utf-8", errors="replace")):
    resumed = re.match(r"(\d+) +<\.\.\. (\w+) resumed>", line)
    if resumed:
        call = pending.pop(resumed.group(1), None)
        if call:
            call["end"] = index
            call["failed"] = bool(re.search(r"\) = -1 ", line))
        continue
    started = re.match(r"(\d+) +(\w+)\((.*)", line)
    if not started:
        continue
    thread, name, rest = started.groups()
    call = {"thread": thread, "name": name, "start": index, "end": index,
            "failed": bool(re.search(r"\) = -1 ", line))}
    if name in ("write", "fsync", "fdatasync"):
        call["path"] = re.match(r"\d+<(.*?)>", rest).group(1)
    elif name == "openat":
        call["path"] = re.match(r'AT_FDCWD(?:<.*?>)?, "(.*?)"', rest).group(1)
    else:
        call["paths"] = re.findall(r'"(.*?)"', rest)
    if "<unfinished ...>" in line:
        pending[thread] = call
    calls.append(call)
calls = [c for c in calls if not c["failed"]]

problems = []
def problem(text):
    problems.append(text)
    print("FAIL:", text)

def flushes(path):
    return [c for c in calls if c["name"] in ("fsync", "fdatasync") and c.get("path") == path]

# Every rename of a copy written beside its target: written, flushed (by a flush of the copy,
# or of its whole file system, which is how a batch of copies goes), renamed, and its folder
# flushed before the journal or setup.ini is next written.
records = os.path.join(app, "Version.ini"), os.path.join(app, "setup.ini")
replaced = []
for rename in (c for c in calls if c["name"].startswith("rename")):
    source, target = rename["paths"][-2:]
    if not re.fullmatch(re.escape(target) + r"\.sendrift-new", source):
        continue
    replaced.append(os.path.relpath(target, app))
    writes = [c for c in calls if c["name"] == "write" and c["path"] == source
              and c["end"] < rename["start"]]
    if not writes:
        problem(f"{target}: renamed without a write beside it")
        continue
    if not any(writes[-1]["end"] < f["start"] and f["end"] < rename["start"]
               for f in flushes(source) + [c for c in calls if c["name"] == "syncfs"]):
        problem(f"{target}: renamed before its written copy was flushed")
    folder = os.path.dirname(target)
    flushed = next((c for c in calls if c["thread"] == rename["thread"]
                    and c["start"] > rename["end"] and c["name"] == "fsync"
                    and c["path"] == folder), None)
    record = next((c for c in calls if c["name"].startswith("rename")
                   and c["start"] > rename["end"] and c["paths"][-1] in records), None)
    if not flushed or (record and record["start"] < flushed["start"]):
        problem(f"{target}: its folder was not flushed before the next record was written")

# Every download, written beside its name as a partial copy, is flushed (by itself, or with the
# other arrivals by a flush of its file system) before the journal's next rename, the move to
# [RUN].
journal = os.path.join(app, "Version.ini")
for name in ("Main.exe", "Filter.dll", "Big.dat"):
    download = os.path.join(app, "Update", name)
    writes = [c for c in calls if c["name"] == "write" and c["path"] == download + ".part"]
    if not writes:
        problem(f"{download}.part: never written")
        continue
    move = next((c for c in calls if c["name"].startswith("rename")
                 and c["paths"][-1] == journal and c["start"] > writes[-1]["end"]), None)
    if not move:
        problem(f"{download}: no journal write after it")
    elif not any(writes[-1]["end"] < f["start"] and f["end"] < move["start"]
                 for f in flushes(download + ".part") + flushes(download)
                 + [c for c in calls if c["name"] == "syncfs"]):
        problem(f"{download}: the journal moved its entry before the copy was flushed")

for expected in ("Main.exe", "Plugins/Filter.dll", "Big.dat", "CUpdate/Main.exe",
                 "Version.ini", "setup.ini"):
    if expected not in replaced:
        problem(f"{expected}: not written beside and renamed into place")
print(f"{len(replaced)} replacements checked")
sys.exit(1 if problems else 0)
PYTHON
echo "PASS"
