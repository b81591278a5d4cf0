#!/usr/bin/env bash
# Installs what is missing, builds Harborlock and starts it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHARBORLOCK_TESTS=OFF
cmake --build "$root/build"
exe="$root/build/Presentation/Harborlock"
if [ ! -x "$exe" ]; then
  echo "The Harborlock window is not built yet; nothing to start." >&2
  exit 1
fi
exec "$exe" "$@"
