#!/usr/bin/env bash
# Sets everything up, builds the lab and runs it (its built-in demo when given no arguments).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release --target quella-lab >/dev/null
exec build/release/quella-lab "$@"
