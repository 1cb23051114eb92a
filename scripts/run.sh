#!/usr/bin/env bash
# Builds the tool and runs its main job (or the subcommand given).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target idxcache_cli >/dev/null
if [ $# -eq 0 ]; then set -- demo; fi
exec build/default/tools/idxcache/idxcache "$@"
