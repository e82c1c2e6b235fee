#!/usr/bin/env bash
# The build's version from git: a scratch repository's commits and tags, and a tree without git.
# Debian must order the versions as they were made: release, later commits, next release.
# usage: version_test.sh SOURCE_DIR
set -uo pipefail
. "$(dirname "$0")/check.sh"
source=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export GIT_CONFIG_NOSYSTEM=1 HOME=$scratch GIT_AUTHOR_NAME=t GIT_AUTHOR_EMAIL=t@t.example
export GIT_COMMITTER_NAME=t GIT_COMMITTER_EMAIL=t@t.example

version() {  # BASE DIR
  cmake -DBASE="$1" -DSOURCE_DIR="$2" -P "$source/cmake/version.cmake"
}
commit() {  # DATE (committer date, UTC)
  echo "$1" >>"$scratch/repo/file"
  git -C "$scratch/repo" add file &&
    GIT_COMMITTER_DATE="$1T23:30:00+0000" git -C "$scratch/repo" commit -qm "$1"
}
later() {  # A B: A sorts before B
  dpkg --compare-versions "$1" lt "$2" || fail "'$1' does not sort before '$2'"
}

mkdir "$scratch/repo" && git -C "$scratch/repo" init -q || fail "git init"
commit 2026-11-30
git -C "$scratch/repo" tag v0.1.0
released=$(version 0.1.0 "$scratch/repo")
[ "$released" = 0.1.0 ] || fail "the tagged commit is '$released', not 0.1.0"

commit 2026-12-08
sha=$(git -C "$scratch/repo" rev-parse --short=12 HEAD)
untagged=$(version 0.2.0 "$scratch/repo")
[ "$untagged" = "0.2.0~git20261208.$sha" ] ||
  fail "an untagged commit is '$untagged', not 0.2.0~git20261208.$sha"

# The date is the commit's in UTC, whatever the committer's zone.
echo more >>"$scratch/repo/file"
git -C "$scratch/repo" add file &&
  GIT_COMMITTER_DATE="2026-12-09T01:00:00+0300" git -C "$scratch/repo" commit -qm zone
zoned=$(version 0.2.0 "$scratch/repo")
[[ $zoned == 0.2.0~git20261208.* ]] || fail "the commit date is not taken in UTC: '$zoned'"

# A tag of another version, or a change on top of the release's tag, is no release.
git -C "$scratch/repo" tag v0.3.0
[[ $(version 0.2.0 "$scratch/repo") == 0.2.0~git* ]] || fail "v0.3.0 made a 0.2.0 release"
commit 2026-12-10
git -C "$scratch/repo" tag v0.2.0
echo edit >>"$scratch/repo/file"
dirty=$(version 0.2.0 "$scratch/repo")
[[ $dirty == 0.2.0~git20261210.* ]] || fail "a changed tree at v0.2.0 is '$dirty'"
git -C "$scratch/repo" checkout -q file
release=$(version 0.2.0 "$scratch/repo")
[ "$release" = 0.2.0 ] || fail "the tag v0.2.0 is '$release', not 0.2.0"

commit 2026-12-11
next=$(version 0.2.1 "$scratch/repo")
later "$released" "$untagged"
later "$untagged" "$dirty"
later "$dirty" "$release"
later "$release" "$next"
later "$next" 0.2.1

# A source tree without git (a release tarball) is the release.
mkdir "$scratch/tarball"
[ "$(version 0.2.0 "$scratch/tarball")" = 0.2.0 ] || fail "a tree without git is not 0.2.0"
finish
