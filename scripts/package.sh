#!/usr/bin/env bash
# Builds the Debian package from the tree (debian/, with dpkg-buildpackage)
# and checks it with lintian: any error or warning fails.
#   scripts/package.sh [-o folder] [-v version]
#     -o  where the .deb goes (default build-deb/)
#     -v  a version to build instead of debian/changelog's (the upgrade test
#         builds a newer package this way); a changelog entry is added to the
#         copy that is built, the tree is not touched
# The build runs in a copy of the tracked and new files (no build folders),
# so dpkg-buildpackage's files land neither in the tree nor beside it.
# Needs scripts/setup.sh test (debhelper, lintian).
set -euo pipefail
cd "$(dirname "$0")/.."

out=build-deb
version=
while getopts "o:v:" opt; do
    case $opt in
    o) out=$OPTARG ;;
    v) version=$OPTARG ;;
    *)
        echo "usage: $0 [-o folder] [-v version]" >&2
        exit 2
        ;;
    esac
done

# The tracked and new files of a checkout (deleted ones are listed and
# missing: nothing to copy), or all but build folders of a copy without git.
copy_tree() {
    if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git ls-files -z --cached --others --exclude-standard |
            xargs -0 -r cp -a --parents -t "$1" 2>/dev/null || true
    else
        tar -c --exclude='./build*' --exclude='./obj-*' . | tar -x -C "$1"
    fi
    [ -f "$1/debian/rules" ] || {
        echo "package: copy of the tree failed" >&2
        exit 1
    }
}

# The package's version is the project's: the two must not drift apart.
project=$(sed -n 's/^project(tollmar VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
packaged=$(dpkg-parsechangelog -S Version)
if [ "${packaged%%[-+~]*}" != "$project" ]; then
    echo "package: debian/changelog has $packaged, CMakeLists.txt $project" >&2
    exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/tollmar"
copy_tree "$work/tollmar"

if [ -n "$version" ]; then
    entry=$(mktemp)
    {
        printf 'tollmar (%s) unstable; urgency=medium\n\n' "$version"
        printf '  * Build %s of the tree.\n\n' "$version"
        printf ' -- %s  %s\n\n' "$(dpkg-parsechangelog -S Maintainer)" "$(date -R)"
        cat debian/changelog
    } >"$entry"
    mv "$entry" "$work/tollmar/debian/changelog"
fi

(cd "$work/tollmar" && dpkg-buildpackage -b -us -uc -j"$(nproc)") >"$work/build.log" 2>&1 || {
    tail -n 40 "$work/build.log" >&2
    echo "package: dpkg-buildpackage failed" >&2
    exit 1
}
deb=$(ls "$work"/tollmar_*.deb)
lintian --fail-on error,warning --display-info "$deb"
mkdir -p "$out"
cp "$deb" "$out/"
echo "package: $out/$(basename "$deb")"
