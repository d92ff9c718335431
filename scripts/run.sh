#!/usr/bin/env bash
# Builds and starts Korvane. The desktop application does not exist yet, so for now this
# builds and runs only the stand-in services that the application will talk to.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
port="${KORVANE_DEVSERVER_PORT:-8080}"

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build" -G Ninja -DKORVANE_BUILD_TESTS=OFF -DKORVANE_BUILD_BENCH=OFF
cmake --build "$root/build" --target korvane-devserver

echo
echo "The Korvane desktop application is not built yet."
echo "Running only the stand-in services (the web application's API and the recording API)."
if [[ "$port" == 0 ]]; then
  echo "Use the URL printed below as KORVANE_WEB_URL and KORVANE_RECORDING_API_URL."
else
  echo "Use http://127.0.0.1:$port as KORVANE_WEB_URL and KORVANE_RECORDING_API_URL."
fi
echo
exec "$root/build/tools/devserver/korvane-devserver" --port "$port"
