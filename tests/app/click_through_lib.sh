# shellcheck shell=bash
# Clicks the program through one whole upgrade of the update that the test serves, for the
# tests of the real program that care about what the upgrade leaves on disk rather than about
# the steps' requests. Sourced after wizard_test_lib.sh.

# Clicks the program, already started in the application folder $1 with its window in
# `window`, from the welcome page through the upgrade from version 2.9, whose manifest lists
# $2 files, to its finish button, and checks that it then ended with 0.
click_through_upgrade() {
    local app=$1 files=$2 mark pending
    mark=$(log_lines)
    click_until "$window" main 5 requested_since "$mark" "GET /Update/Version.txt" ||
        fail "开始(&S) asked for no version"
    wait_until 30 test -d "$app/Update" || fail "the manifest did not arrive"
    click_until "$window" main 5 requested_since "$mark" '"HEAD ' ||
        fail "下一步(&N) started no list step"
    wait_until 30 heads_since "$mark" "$files" || fail "not $files size queries"
    mark=$(log_lines)
    click_until "$window" main 5 requested_since "$mark" '"GET ' || fail "no download started"
    wait_until 60 not ini_has_section "$app/Version.ini" 2.9 || fail "the download did not end"
    pending=$(find "$app/Update" -type f | wc -l)
    click_until "$window" main 5 install_started "$app" "$pending" || fail "no install started"
    wait_until 60 test ! -e "$app/Version.ini" || fail "the install did not end"
    click_until "$window" main 5 not running "$wizard" || fail "完成(&F) did not end the program"
    ended
}

# Lays out an installation of version $2 in the application folder $1: a copy of the folder
# $work/$2, which holds that version as installed, with the program and setup.ini.
lay_out_release_install() {
    cp -r "$work/$2" "$1"
    cp "$program" "$1/sendrift"
    printf '%s\r\n' "[VERSION]" "VERSION=$2" >"$1/setup.ini"
}

# Starts the program in the application folder $1, at version $2, and clicks it through the
# upgrade to a release made by sendrift-publish, then checks that it ended with 0. The release
# lists every size, so the list asks the server nothing: its click and the download's follow
# each other until the files are asked for.
click_through_published_upgrade() {
    local app=$1 mark pending
    mark=$(log_lines)
    start_wizard "$app"
    click_until "$window" main 5 requested_since "$mark" "GET /Update/Version.txt" ||
        fail "开始(&S) asked for no version"
    wait_until 30 test -d "$app/Update" || fail "the manifest did not arrive"
    mark=$(log_lines)
    click_until "$window" main 5 requested_since "$mark" '"GET /Update/' ||
        fail "下一步(&N) started no download"
    heads_since "$mark" 0 || fail "sizes listed in the manifest were asked of the server"
    wait_until 60 not ini_has_section "$app/Version.ini" "$2" || fail "the download did not end"
    pending=$(find "$app/Update" -type f | wc -l)
    click_until "$window" main 5 install_started "$app" "$pending" || fail "no install started"
    wait_until 30 test ! -e "$app/Version.ini" || fail "the install did not end"
    click_until "$window" main 5 not running "$wizard" || fail "完成(&F) did not end the program"
    ended
}
