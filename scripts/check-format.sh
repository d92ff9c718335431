#!/usr/bin/env bash
# Fails (and lists the files) when a C++ source under src/, tests/, tools/ or bench/ does not match
# the repository's .clang-format. Fix with: clang-format -i <file>
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
unformatted=$(find src tests tools bench \( -name '*.cpp' -o -name '*.h' \) -print0 |
  xargs -0 -P "$(nproc)" -n 8 sh -c \
    'for f; do clang-format --dry-run -Werror "$f" >/dev/null 2>&1 || echo "$f"; done' sh |
  sort)

if [[ -n "$unformatted" ]]; then
  echo "check-format: these files do not match .clang-format (clang-format -i fixes them):" >&2
  sed 's/^/  /' <<<"$unformatted" >&2
  exit 1
fi
