#!/usr/bin/env bash
# Sets up and runs the whole test suite (Debug preset).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"
ctest --preset default
