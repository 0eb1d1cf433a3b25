#!/usr/bin/env bash
# Builds the Debian package kestrune_VERSION_ARCH.deb from the build tree (set up and built
# first when needed) and prints its path on the last line.
# Usage: tools/package.sh [--check]
#   --check  also runs lintian (no errors allowed) and tests/packaging/install-test.sh on it
set -euo pipefail
cd "$(dirname "$0")/.."
check=false
[ "${1:-}" = "--check" ] && check=true

build=$(bash tools/setup.sh | tail -n 1)
out=$PWD/$build/package
stage=$out/root
rm -rf "$out"
mkdir -p "$stage/DEBIAN"
umask 022

# The installation as it lands in /usr, stripped of its debugging information.
DESTDIR=$stage cmake --install "$build" --prefix /usr --strip >&2

# Run-time dependencies from the libraries that the program and the window module link.
# dpkg-shlibdeps reads debian/control from its working folder; the module takes the engine's
# symbols from the program, which it would report as not found in any library.
work=$out/shlibdeps
mkdir -p "$work/debian"
printf 'Source: kestrune\n\nPackage: kestrune\nArchitecture: any\n' >"$work/debian/control"
objects=$(find "$stage/usr/bin" "$stage/usr/lib" -type f -perm -u+x -o -type f -name '*.so' | sort -u)
# As Debian's own packages: no compiler notes in the binaries either.
strip --remove-section=.comment --remove-section=.note $objects
depends=$(cd "$work" && dpkg-shlibdeps --warnings=0 -O $objects | sed -n 's/^shlibs:Depends=//p')
rm -rf "$work"
[ -n "$depends" ] || { echo "package.sh: no dependencies found" >&2; exit 1; }

version=$(awk '{ print $2; exit }' < <("$build/src/kestrune" --version))
# The package's changelog and the software centres' release list must name this version.
grep -q "^kestrune ($version)" packaging/changelog \
  || { echo "package.sh: packaging/changelog has no entry for $version" >&2; exit 1; }
grep -q "<release version=\"$version\"" res/com.varnel.kestrune.metainfo.xml \
  || { echo "package.sh: the metainfo has no release $version" >&2; exit 1; }
arch=$(dpkg --print-architecture)
size=$(du -sk --apparent-size "$stage/usr" | cut -f1)
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@SIZE@/$size/" \
    -e "s/@DEPENDS@/$depends/" packaging/control >"$stage/DEBIAN/control"
(cd "$stage" && find usr -type f -print0 | sort -z | xargs -0 md5sum) >"$stage/DEBIAN/md5sums"
chmod 644 "$stage/DEBIAN/control" "$stage/DEBIAN/md5sums"

deb=$out/kestrune_${version}_${arch}.deb
dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >&2
rm -rf "$stage"

if $check; then
  # Errors fail the check; warnings and notes are shown.
  lintian --fail-on error "$deb" >&2
  bash tests/packaging/install-test.sh "$deb" >&2
fi
echo "$deb"
