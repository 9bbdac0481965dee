#!/usr/bin/env bash
# lint.sh format|tidy TOOL BUILD_DIR: fails when clang-format would change a file, or when
# clang-tidy warns about a driver source.
set -euo pipefail
mode=$1 tool=$2 build=$3
case $mode in
format)
    git ls-files '*.cpp' '*.h' | xargs "$tool" --dry-run --Werror
    ;;
tidy)
    sources=$(git ls-files 'driver/*.cpp' 'usb/*.cpp' 'chip/*.cpp' 'serial/*.cpp' \
        'datapath/*.cpp' 'requests/*.cpp' 'power/*.cpp' 'wmi/*.cpp')
    out=$("$tool" -p "$build" --quiet $sources 2>&1 || true)
    if grep -E "(warning|error):" <<<"$out"; then
        exit 1
    fi
    ;;
esac
