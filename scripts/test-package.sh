#!/usr/bin/env bash
# Builds the .deb from BUILD_DIR, unpacks it into a temporary root (dpkg -x),
# and runs the parcelor found there: --version, then a split and a join.
set -euo pipefail
build=$(cd "${1:?usage: test-package.sh BUILD_DIR}" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/parcelor-package.XXXXXX")
trap 'rm -rf "$work"' EXIT

(cd "$build" && cpack -G DEB -B "$work/package" >/dev/null)
deb=$(ls "$work"/package/*.deb)
dpkg-deb -f "$deb" Depends | grep -q 'qt6-qpa-plugins'
dpkg-deb -f "$deb" Depends | grep -q 'libcrypto\|libssl'
dpkg -x "$deb" "$work/root"
for f in usr/bin/parcelor usr/bin/morvane-parcelor \
         usr/share/applications/morvane-parcelor.desktop \
         usr/share/mime/packages/morvane-parcelor.xml \
         usr/share/icons/hicolor/128x128/apps/morvane-parcelor.png \
         usr/share/icons/hicolor/256x256/apps/morvane-parcelor.png \
         usr/share/man/man1/parcelor.1.gz \
         usr/share/man/man1/morvane-parcelor.1.gz \
         usr/share/doc/morvane-parcelor/copyright \
         usr/share/doc/morvane-parcelor/changelog.gz \
         usr/share/bash-completion/completions/parcelor \
         usr/share/metainfo/org.morvane.parcelor.metainfo.xml; do
    test -e "$work/root/$f" || { echo "missing from the package: $f" >&2; exit 1; }
done
# What a distribution would take: no lintian error or warning, and no override.
lintian_args=(--fail-on error,warning --tag-display-limit 0)
[ "$(id -u)" = 0 ] && lintian_args+=(--allow-root)
lintian "${lintian_args[@]}" "$deb"
if dpkg -c "$deb" | grep -q lintian/overrides; then echo "lintian overrides in the package" >&2; exit 1; fi
# What software centres read must validate (offline: no URL is fetched).
appstreamcli validate --no-net "$work/root/usr/share/metainfo/org.morvane.parcelor.metainfo.xml"

parcelor=$work/root/usr/bin/parcelor
"$parcelor" --version | grep -q '^parcelor (Morvane Parcelor) '
head -c 3000000 /dev/urandom > "$work/data.bin"
mkdir "$work/out"
"$parcelor" split -q -b 1M "$work/data.bin"
"$parcelor" join -q "$work/data_spt" "$work/out"
cmp "$work/data.bin" "$work/out/data.bin"
(cd "$work/data_spt" && sha256sum --quiet -c SHA256SUMS)
