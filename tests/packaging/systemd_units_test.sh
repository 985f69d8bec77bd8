#!/usr/bin/env bash
# Checks the unattended-upgrade service and timer with systemd's own verifier, on an instance
# for an application folder whose path needs escaping (a space and Chinese characters) and
# that holds the real program, the way an administrator enables them. Then the same instance
# for a folder without the program must be refused: the check sees the folder that the
# instance name stands for.
# Arguments: the folder of the unit templates, the program.
set -euo pipefail
templates=$1
program=$2

command -v systemd-analyze >/dev/null ||
    { echo "systemd-analyze is missing (scripts/setup installs systemd)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
app="$work/opt/产品 veltramo"
mkdir -p "$app" "$work/units"
cp "$program" "$app/sendrift"
cp "$templates/sendrift-upgrade@.service" "$templates/sendrift-upgrade@.timer" "$work/units/"
instance=$(systemd-escape --path "$app")
units=()
for kind in service timer; do
    ln -s "sendrift-upgrade@.$kind" "$work/units/sendrift-upgrade@$instance.$kind"
    units+=("$work/units/sendrift-upgrade@$instance.$kind")
done

# The verifier fails on errors only; a warning (an unknown key, a bad value) fails here too.
status=0
findings=$(systemd-analyze verify "${units[@]}" 2>&1) || status=$?
if [ "$status" -ne 0 ] || [ -n "$findings" ]; then
    echo "systemd-analyze verify ${units[*]} (exit $status):" >&2
    echo "$findings" >&2
    exit 1
fi
echo "verified: sendrift-upgrade@$instance.service and .timer"

rm "$app/sendrift"
status=0
findings=$(systemd-analyze verify "${units[@]}" 2>&1) || status=$?
if [ "$status" -eq 0 ] || [[ "$findings" != *"$app/sendrift is not executable"* ]]; then
    echo "an instance whose folder lacks the program was not refused (exit $status):" >&2
    echo "$findings" >&2
    exit 1
fi
echo "refused without the program: ${findings%%$'\n'*}"
