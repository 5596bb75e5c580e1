#!/usr/bin/env bash
# The manifest's MIME type: well-formed XML, and update-mime-database maps
# both the file name and the header's magic to it.
set -euo pipefail
xml=${1:?usage: test-mime.sh MIME_XML}
xmllint --noout "$xml"
work=$(mktemp -d "${TMPDIR:-/tmp}/parcelor-mime.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/mime/packages"
cp "$xml" "$work/mime/packages/morvane-parcelor.xml"
update-mime-database "$work/mime"
type=application/x-morvane-parcelor-manifest
test -f "$work/mime/$type.xml"
grep -q "$type:spt_config.morvspt" "$work/mime/globs2"
grep -aq "$type" "$work/mime/magic"
