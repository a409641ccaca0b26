#!/usr/bin/env bash
# Builds the Debian package from a configured build folder and checks it:
# lintian (no errors), the desktop entry and the AppStream data as installed.
set -euo pipefail
build=${1:-build}
cd "$build"
rm -f traytape_*.deb
cpack -G DEB >/dev/null
deb=$(ls traytape_*.deb)
lintian --fail-on error "$deb"
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
desktop-file-validate "$unpacked/usr/share/applications/org.traytape.TrayTape.desktop"
appstreamcli validate --no-net "$unpacked/usr/share/metainfo/org.traytape.TrayTape.metainfo.xml" >/dev/null
for f in usr/bin/traytape usr/bin/traytape-cli usr/share/icons/hicolor/scalable/apps/org.traytape.TrayTape.svg \
         usr/share/icons/hicolor/48x48/apps/org.traytape.TrayTape.png "usr/share/doc/traytape/Record Help.pdf" \
         usr/share/doc/traytape/README.md; do
  [ -e "$unpacked/$f" ] || { echo "missing from $deb: /$f" >&2; exit 1; }
done
echo "$deb: lintian, desktop entry and AppStream data clean"
