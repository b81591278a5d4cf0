#!/usr/bin/env bash
# Builds Harborlock and saves pictures of its main window and dialogs into
# docs/screenshots/, drawn on a virtual X display (xvfb-run). Uses a throw-away
# home folder, so the user's own settings and backups are never touched.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
build="$root/build"
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHARBORLOCK_TESTS=OFF "${launcher[@]}" >/dev/null
cmake --build "$build" --target hl_screenshots Harborlock
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
out="$root/docs/screenshots"
mkdir -p "$out"
env -u XDG_DATA_HOME HOME="$home" QT_QPA_PLATFORM=xcb \
  HARBORLOCK_SCREENSHOT_DIR="$out" HARBORLOCK_SCREENSHOT_FIXTURES="$root/tests/fixtures/backup-folder" \
  xvfb-run -a -s "-screen 0 1280x1024x24" "$build/Presentation/hl_screenshots"
