#!/usr/bin/env bash
# The Debian package built from this build tree: the files it installs, the
# desktop entry pointing at them, and its dependencies on Debian 12's Qt 6
# and OpenSSL 3. Skips (exit 77) where dpkg-deb is missing.
#   package_contents.sh <build dir>
set -euo pipefail
build=$1
command -v dpkg-deb >/dev/null || { echo "SKIP: dpkg-deb is not installed"; exit 77; }
command -v dpkg-shlibdeps >/dev/null || { echo "SKIP: dpkg-shlibdeps is not installed"; exit 77; }
out=$(mktemp -d "$build/package_test.XXXXXX")
trap 'rm -rf "$out"' EXIT
if ! (cd "$build" && timeout 600 cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1); then
  cat "$out/cpack.log"
  exit 1
fi
deb=$(ls "$out"/cryptohopper_*.deb)
failed=0
fail() { echo "FAIL: $*"; failed=1; }

files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $1, $NF}' | sort -k2)
expected="-rwxr-xr-x ./usr/bin/cryptohopper
-rwxr-xr-x ./usr/bin/cryptohopper-sandbox
-rwxr-xr-x ./usr/bin/fetch
-rwxr-xr-x ./usr/bin/webserver
-rw-r--r-- ./usr/share/applications/cryptohopper.desktop
-rw-r--r-- ./usr/share/doc/cryptohopper/changelog.gz
-rw-r--r-- ./usr/share/doc/cryptohopper/copyright
-rw-r--r-- ./usr/share/icons/hicolor/scalable/apps/cryptohopper.svg"
[ "$files" = "$expected" ] || fail "file list differs:$(diff <(echo "$expected") <(echo "$files") | sed 's/^/  /')"

entry=$(dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/share/applications/cryptohopper.desktop)
grep -qx 'Exec=cryptohopper' <<<"$entry" || fail "the desktop entry does not start /usr/bin/cryptohopper"
grep -qx 'Icon=cryptohopper' <<<"$entry" || fail "the desktop entry does not name the icon"
grep -qx 'Type=Application' <<<"$entry" || fail "the desktop entry is not an application"

depends=$(dpkg-deb -f "$deb" Depends)
# Qt from the programs' links, OpenSSL and the platform plugins by name.
for need in libqt6core6 libqt6gui6 libqt6widgets6 qt6-qpa-plugins libssl3 libc6 libstdc\\+\\+6; do
  grep -Eq "(^|, )$need( |,|$)" <<<"$depends" || fail "no dependency on $need in: $depends"
done
grep -Eq "libssl3 \(>= 3" <<<"$depends" || fail "libssl3 without a 3.x lower bound: $depends"
[ "$(dpkg-deb -f "$deb" Package)" = cryptohopper ] || fail "package name"

[ $failed -eq 0 ] && echo "package: $(basename "$deb") ok"
exit $failed
