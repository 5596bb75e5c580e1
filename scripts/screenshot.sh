#!/usr/bin/env bash
# Takes the README's screenshots in the real window: the program's Qt window
# on an X server of its own (Xvfb) under a window manager (openbox), driven
# through a split and a join of prepared sample data by
# tests/qt/ScreenshotDriver.cpp, each picture taken from the screen with
# ImageMagick's `import`, the window's frame included. Writes
# docs/screenshots/*.png.
#
#   scripts/screenshot.sh [BUILD_DIR]    (default: build, made with `make build`)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

need=()
command -v Xvfb >/dev/null || need+=(xvfb)
command -v openbox >/dev/null || need+=(openbox)
command -v import >/dev/null || need+=(imagemagick)
command -v xdpyinfo >/dev/null || need+=(x11-utils)
[ ${#need[@]} -eq 0 ] || {
    sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq && $sudo apt-get install -y -qq --no-install-recommends "${need[@]}"
}

[ "$build" = build ] && make build >/dev/null
cmake --build "$build" --target parcelor-screenshots >/dev/null
mkdir -p docs/screenshots

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1280x900x24 -nolisten tcp &
xvfb=$!
wm=
trap '[ -n "$wm" ] && kill $wm 2>/dev/null; wait $wm 2>/dev/null; kill $xvfb 2>/dev/null || true' EXIT
for _ in $(seq 50); do DISPLAY=$display xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
DISPLAY=$display openbox &
wm=$!
sleep 1
DISPLAY=$display QT_QPA_PLATFORM=xcb "$build/tests/qt/parcelor-screenshots" docs/screenshots
