#!/usr/bin/env bash
# A release made by sendrift-publish and installed by the real program: version 2.0 released
# for installations of 1.0 and of 1.5, served by a real HTTP server on the built-in address,
# and one installation of each upgraded through the wizard in a real X server. Afterwards
# every file that the release lists is byte for byte the 2.0 folder's in both, and setup.ini
# records 2.0. Main.exe is large and changes little from version to version, so the release
# also publishes a patch for it against each older Main.exe, which each installation fetches
# and rebuilds instead of the whole file.
# Usage: release_x11_test.sh SENDRIFT_BINARY BUILT_IN_SERVER_URL SENDRIFT_PUBLISH
#        (run under xvfb-run)
set -euo pipefail
program=$1
server_url=$2
publish=$3
source "$(dirname "$0")/wizard_test_lib.sh"
source "$(dirname "$0")/click_through_lib.sh"

# Three releases laid out as installed, in the same folders, so no install needs a new one.
head -c 300000 /dev/urandom >"$work/program.bin"
release() {
    mkdir -p "$work/$1/Bin" "$work/$1/Plugins"
    printf '%s\r\n' "[Main]" "Core=Bin\\Core.dll" "Report=Plugins\\Report.dll" \
        >"$work/$1/Default.ini"
    echo "readme $2" >"$work/$1/Readme.txt"
    { cat "$work/program.bin" && echo "main $3"; } >"$work/$1/Main.exe"
    echo "core $4" >"$work/$1/Bin/Core.dll"
    echo "report $5" >"$work/$1/Plugins/Report.dll"
}
release 1.0 1.0 1.0 1.0 1.0
release 1.5 1.5 1.5 1.5 2.0
release 2.0 2.0 2.0 2.0 2.0
echo "only in 1.0" >"$work/1.0/Old.txt"
head -c 100000 /dev/urandom >"$work/2.0/Data.pak"
cp "$work/2.0/Data.pak" "$work/1.5/Data.pak"
cat >"$work/2.0/Migrate.sh" <<'EOF_SCRIPT'
#!/bin/sh
echo "migrated to 2.0" >>"$(dirname "$0")/../migrate.log"
EOF_SCRIPT
# Component builds older than any installed file: only the sections bring files.
find "$work/1.0" "$work/1.5" "$work/2.0" -type f -exec touch -d "2020-01-01 12:00" {} +

"$publish" release "$work/2.0" --version 2.0 --data-version 2025.06 --from "1.0=$work/1.0" \
    --from "1.5=$work/1.5" --run Migrate.sh --out "$server/Update" >"$work/release.txt" ||
    fail "release failed: $(cat "$work/release.txt")"
"$publish" verify "$server/Update" --from "1.0=$work/1.0" --from "1.5=$work/1.5" ||
    fail "the release does not verify"
# A patch for each older Main.exe.
[ "$(ini_keys "$server/Update/Version.ini" DELTA)" = "$(printf 'Main.exe\nMain.exe')" ] ||
    fail "[DELTA] does not list a patch of Main.exe for 1.0 and for 1.5"
# 1.0 lacks every changed file and Data.pak; 1.5 only the core and the main program.
[ "$(ini_keys "$server/Update/Version.ini" 1.0 | wc -l)" -eq 6 ] || fail "[1.0] is not 6 entries"
[ "$(ini_keys "$server/Update/Version.ini" 1.5 | wc -l)" -eq 4 ] || fail "[1.5] is not 4 entries"

serve_on_built_in_address

for version in 1.0 1.5; do
    echo "-- an installation of $version upgraded"
    app=$work/app-$version
    lay_out_release_install "$app" "$version"
    mark=$(log_lines)
    click_through_published_upgrade "$app" "$version"
    requested_since "$mark" '"GET /Update/.delta/Main.exe.' || fail "$version: no patch fetched"
    ! requested_since "$mark" '"GET /Update/Main.exe ' || fail "$version: Main.exe fetched whole"
done

for version in 1.0 1.5; do
    app=$work/app-$version
    for section in 1.0 1.5; do
        for key in $(ini_keys "$server/Update/Version.ini" "$section"); do
            entry=$(ini_value "$server/Update/Version.ini" "$section" "$key")
            name=${entry%%;*}
            [ "${entry#*;}" = 0 ] || continue
            cmp -s "$work/2.0/${name//\\//}" "$app/${name//\\//}" ||
                fail "$version: ${name} is not the release's"
        done
    done
    [ "$(ini_value "$app/setup.ini" VERSION VERSION)" = 2.0 ] || fail "$version: setup.ini VERSION"
    [ "$(ini_value "$app/setup.ini" VERSION DATAVERSION)" = 2025.06 ] ||
        fail "$version: setup.ini DATAVERSION"
    [ "$(cat "$app/migrate.log")" = "migrated to 2.0" ] || fail "$version: the run entry"
done
# The update cannot remove what 2.0 no longer has.
[ -f "$work/app-1.0/Old.txt" ] || fail "Old.txt went"
grep -q "only in 1.0, left in place: Old.txt" "$work/release.txt" || fail "Old.txt not reported"
echo "PASS"
