#!/usr/bin/env bash
# Takes the README's screenshots: the real window under Xvfb, driven through a
# split and a join of prepared sample data. Writes docs/screenshots/*.png.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
command -v xvfb-run >/dev/null || need+=(xvfb xauth)
[ ${#need[@]} -eq 0 ] || {
    sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq && $sudo apt-get install -y -qq --no-install-recommends "${need[@]}"
}

make build >/dev/null
mkdir -p docs/screenshots
xvfb-run -a -s "-screen 0 1280x800x24" build/tests/qt/parcelor-screenshots docs/screenshots
