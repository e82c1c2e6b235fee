#!/usr/bin/env bash
# The Debian packages that cpack built: their names, their files with owner and mode, the
# dependencies computed from the binaries, the changelog's version, and the unpacked programs
# running from a scratch directory.
# usage: package_test.sh PACKAGE_DIR VERSION_FILE LIBDIR SOURCE_DIR
set -uo pipefail
. "$(dirname "$0")/check.sh"
packages=$1 version=$(head -n 1 "$2") libdir=$3 source=$4
arch=$(dpkg --print-architecture)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The files a package must hold, /usr/share/doc/PACKAGE/{copyright,changelog.gz} included.
expected_files() {  # PACKAGE
  case $1 in
    quelmar)
      printf '%s\n' usr/bin/quelmar usr/share/man/man1/quelmar.1.gz \
        usr/share/bash-completion/completions/quelmar
      printf 'usr/share/doc/quelmar/examples/%s\n' profile-log-alerts.yml \
        quelmar-replicas.service quelmar-replicas.timer
      ;;
    quelmar-fake-fly)
      printf '%s\n' usr/bin/quelmar-fake-fly usr/share/man/man1/quelmar-fake-fly.1.gz \
        usr/share/bash-completion/completions/quelmar-fake-fly
      ;;
    libquelmar-dev)
      (cd "$source/include" && find . -type f -name '*.hpp' | sed 's|^\./|usr/include/|')
      for lib in corvane quelmar_dunmere quelmar_fleet quelmar_util quelmar_vostrel; do
        echo "usr/$libdir/lib$lib.a"
      done
      printf "usr/$libdir/%s\n" cmake/quelmar/quelmarConfig.cmake \
        cmake/quelmar/quelmarConfigVersion.cmake cmake/quelmar/quelmarTargets.cmake \
        pkgconfig/quelmar.pc
      ;;
  esac
  printf "usr/share/doc/$1/%s\n" copyright changelog.gz
}

found=$(cd "$packages" && ls -- *.deb 2>/dev/null | sort)
wanted=$(printf "%s_${version}_$arch.deb\n" libquelmar-dev quelmar quelmar-fake-fly | sort)
[ "$found" = "$wanted" ] || fail "packages: '$(echo $found)', not '$(echo $wanted)'"

for package in quelmar quelmar-fake-fly libquelmar-dev; do
  deb=$packages/${package}_${version}_${arch}.deb
  [ -f "$deb" ] || continue
  listing=$(dpkg-deb -c "$deb") || {
    fail "dpkg-deb -c $deb"
    continue
  }
  # The per-build-type part of the exported targets, whatever the build type.
  files=$(awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' <<<"$listing" |
    grep -v "^usr/$libdir/cmake/quelmar/quelmarTargets-[a-z]*\.cmake$" | sort)
  missing=$(comm -23 <(expected_files "$package" | sort) <(echo "$files"))
  extra=$(comm -13 <(expected_files "$package" | sort) <(echo "$files"))
  [ -z "$missing" ] || fail "$package lacks: $(echo $missing)"
  [ -z "$extra" ] || fail "$package holds unexpected: $(echo $extra)"
  while read -r entry; do
    fail "$package: owner or mode: $entry"
  done < <(awk '$2 != "root/root" || ($1 ~ /^d/ && $1 != "drwxr-xr-x") ||
    ($1 ~ /^-/ && $1 != ($6 ~ /^\.\/usr\/bin\// ? "-rwxr-xr-x" : "-rw-r--r--")) { print $1, $2, $6 }' \
    <<<"$listing")

  # The version of the changelog's latest entry is the package's.
  changelog=$(dpkg-deb --fsys-tarfile "$deb" | tar -xOf - "./usr/share/doc/$package/changelog.gz" |
    gunzip | dpkg-parsechangelog -l - -S Version 2>&1)
  [ "$changelog" = "$version" ] ||
    fail "$package: changelog's latest version is '$changelog', not $version (add an entry)"
  # Everyone may install it: the copyright file names the licence, in the machine-readable form.
  copyright=$(dpkg-deb --fsys-tarfile "$deb" | tar -xOf - "./usr/share/doc/$package/copyright")
  grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
    <<<"$copyright" || fail "$package: copyright file is not machine-readable"
  grep -qx 'License: Apache-2.0' <<<"$copyright" || fail "$package: copyright names no Apache-2.0"
  dpkg-deb -x "$deb" "$scratch/root" || fail "dpkg-deb -x $deb"
done

# Dependencies come from the binaries (dpkg-shlibdeps), and the fake's server library stays
# out of the command line's.
depends() { dpkg-deb -f "$packages/${1}_${version}_$arch.deb" Depends 2>/dev/null; }
for library in libc6 libcurl4 libldns3; do
  [[ $(depends quelmar) == *"$library "* ]] || fail "quelmar does not depend on $library"
done
[[ $(depends quelmar-fake-fly) == *libcpp-httplib* ]] ||
  fail "quelmar-fake-fly does not depend on libcpp-httplib"
[[ $(depends quelmar) != *libcpp-httplib* ]] || fail "quelmar depends on libcpp-httplib"

pc_version=$(sed -n 's/^Version: //p' "$scratch/root/usr/$libdir/pkgconfig/quelmar.pc")
[ "$pc_version" = "$version" ] || fail "quelmar.pc's version is '$pc_version', not $version"

# The unpacked programs run with the system's libraries alone.
bin=$scratch/root/usr/bin
out=$("$bin/quelmar" --version 2>&1) || fail "unpacked quelmar --version exits $?: $out"
[[ $out == *"$version"* ]] || fail "unpacked quelmar --version does not print $version: $out"
out=$("$bin/quelmar" --help 2>&1) || fail "unpacked quelmar --help exits $?: $out"
[[ $out == *"Usage:"* ]] || fail "unpacked quelmar --help prints no usage: $out"
out=$("$bin/quelmar-fake-fly" --help 2>&1) || fail "unpacked quelmar-fake-fly --help exits $?"
finish
