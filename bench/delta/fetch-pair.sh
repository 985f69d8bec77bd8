#!/usr/bin/env bash
# Fetches two published versions of one Debian package from the archive and unpacks each into
# a folder of its own under CACHE, where later runs find them; prints the older folder and then
# the newer one, one a line.
#
#   fetch-pair.sh CACHE [PACKAGE [OLDER NEWER]]
#
# PACKAGE defaults to postgresql-15. Without versions it takes the two newest that the
# machine's package lists offer (apt-cache madison), such as a point release of the stable
# distribution and its security update. A folder is complete once it has its name: each
# version is unpacked beside it and renamed.
set -euo pipefail

if [ $# -ne 1 ] && [ $# -ne 2 ] && [ $# -ne 4 ]; then
    echo "usage: $0 CACHE [PACKAGE [OLDER NEWER]]" >&2
    exit 2
fi
cache=$1
package=${2:-postgresql-15}

newest_two() {
    local newest="" second="" version
    while read -r version; do
        if [ -z "$newest" ] || dpkg --compare-versions "$version" gt "$newest"; then
            second=$newest
            newest=$version
        elif [ "$version" != "$newest" ] &&
            { [ -z "$second" ] || dpkg --compare-versions "$version" gt "$second"; }; then
            second=$version
        fi
    done < <(apt-cache madison "$package" | awk -F'|' '{ gsub(/ /, "", $2); print $2 }')
    if [ -z "$second" ]; then
        echo "apt-cache madison $package lists fewer than two versions; run apt-get update," \
            "or name two versions" >&2
        exit 1
    fi
    echo "$second" "$newest"
}

if [ $# -eq 4 ]; then
    older=$3
    newer=$4
else
    pair=$(newest_two)
    read -r older newer <<<"$pair"
fi

unpacked() {
    local version=$1
    local folder="$cache/$package/$version"
    if [ ! -d "$folder" ]; then
        local work="$folder.fetching"
        rm -rf "$work"
        mkdir -p "$work/deb"
        # apt-get download writes into the working folder; its user _apt may not enter a
        # private one, and then apt says so and downloads as the caller.
        (cd "$work/deb" && apt-get download -q "$package=$version" >&2)
        dpkg-deb -x "$work"/deb/*.deb "$work/tree"
        mv "$work/tree" "$folder"
        rm -rf "$work"
    fi
    echo "$folder"
}

unpacked "$older"
unpacked "$newer"
