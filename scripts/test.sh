#!/usr/bin/env bash
# Sets everything up and runs every test: the default build (ASan + UBSan) with the whole
# suite, including the Windows build check of quella.sys, then the concurrency tests under
# ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

cmake --preset default >/dev/null
cmake --build --preset default
ctest --preset default

cmake --preset tsan >/dev/null
cmake --build --preset tsan
ctest --preset tsan
