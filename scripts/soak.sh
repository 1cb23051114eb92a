#!/usr/bin/env bash
# Soaks the library: PROCS job processes for MINUTES on one cache root of a small
# simulated disk, with random kills and crash points (not part of CI).
# Usage: scripts/soak.sh [MINUTES] [PROCS] [idxcache soak options...]
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-2}
procs=${2:-4}
shift $(( $# < 2 ? $# : 2 ))
scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j2 --target idxcache_cli >/dev/null
uptime
exec build/default/tools/idxcache/idxcache soak --minutes "$minutes" --procs "$procs" "$@"
