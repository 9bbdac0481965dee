#!/usr/bin/env bash
# Builds quella.sys with the mingw-w64 i686 cross compiler in its own build directory and checks
# the image with objdump:
#   - PE32 (pei-i386), native subsystem, marked as a WDM driver;
#   - the entry point is DriverEntry (stdcall, _DriverEntry@8);
#   - imports come only from ntoskrnl.exe, HAL.dll, USBD.SYS and WMILIB.SYS, and none of them is a
#     C++-runtime routine;
#   - every .cpp of the driver directories was compiled and linked (read back from the map file);
#   - no object carries static constructors, thread-local data, exception tables or unwind info;
#   - no driver source holds an #if on the build flavour.
# Exits 77 (skipped) only when the cross compiler is not installed.
#
# usage: check_quella_sys.sh <source dir> <build dir> <cmake> <generator> <driver dirs...>
set -euo pipefail

src=$1
bin=$2
cmake=$3
generator=$4
shift 4
driver_dirs=("$@")

triplet=i686-w64-mingw32
cxx=$(command -v ${triplet}-g++ || true)
objdump=$(command -v ${triplet}-objdump || true)
if [[ -z $cxx || -z $objdump ]]; then
    echo "SKIPPED: ${triplet}-g++ / ${triplet}-objdump not installed (apt-get install g++-mingw-w64-i686)"
    exit 77
fi

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# ---------------------------------------------------------------------------------------------
# Build
# ---------------------------------------------------------------------------------------------
"$cmake" -S "$src" -B "$bin" -G "$generator" \
    -DCMAKE_TOOLCHAIN_FILE="$src/windows/toolchain-i686-mingw.cmake" \
    -DCMAKE_BUILD_TYPE=Release >"$bin.configure.log" 2>&1 || {
    cat "$bin.configure.log"
    echo "FAIL: configuring the Windows build"
    exit 1
}
"$cmake" --build "$bin" -j2 || {
    echo "FAIL: building quella.sys"
    exit 1
}

image=$bin/windows/quella.sys
map=$bin/windows/quella.map
[[ -f $image ]] || { echo "FAIL: $image was not produced"; exit 1; }
[[ -f $map ]] || { echo "FAIL: $map was not produced"; exit 1; }

headers=$("$objdump" -p "$image")
fileinfo=$("$objdump" -f "$image")

# ---------------------------------------------------------------------------------------------
# Image format
# ---------------------------------------------------------------------------------------------
grep -q "file format pei-i386" <<<"$fileinfo" || fail "not a pei-i386 image"
grep -Eq "^Magic[[:space:]]+010b[[:space:]]+\(PE32\)" <<<"$headers" || fail "not PE32"
grep -Eq "^Subsystem[[:space:]]+0*1[[:space:]]+\(NT native\)" <<<"$headers" ||
    fail "subsystem is not native (1)"
grep -q "WDM_DRIVER" <<<"$headers" || fail "not marked as a WDM driver"
grep -Eq "^Entry 5 0*[1-9a-f][0-9a-f]* " <<<"$headers" || fail "no base relocations"
if grep -Eq "^Entry 0 0*[1-9a-f]" <<<"$headers"; then
    fail "the image exports symbols"
fi

# ---------------------------------------------------------------------------------------------
# Entry point
# ---------------------------------------------------------------------------------------------
start=$(sed -n 's/^start address \(0x[0-9a-f]*\)$/\1/p' <<<"$fileinfo")
if [[ -z $start ]]; then
    fail "no start address"
else
    stop=$(printf '0x%x' $((start + 1)))
    label=$("$objdump" -d --start-address="$start" --stop-address="$stop" "$image" |
        sed -n 's/^[0-9a-f]* <\(.*\)>:$/\1/p' | head -n1)
    [[ $label == "_DriverEntry@8" ]] ||
        fail "entry point $start is '${label:-?}', not _DriverEntry@8"
fi

# ---------------------------------------------------------------------------------------------
# Imports
# ---------------------------------------------------------------------------------------------
declare -A allowed=([ntoskrnl.exe]=1 [HAL.dll]=1 [USBD.SYS]=1 [WMILIB.SYS]=1)
dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")
[[ -n $dlls ]] || fail "no import table"
for dll in $dlls; do
    [[ -n ${allowed[$dll]:-} ]] || fail "imports from $dll"
done
# Import entries: "<hint-rva> <ordinal> <name>" lines between a DLL Name line and the next blank.
imports=$(awk '/^[[:space:]]*DLL Name:/ { dll = $3; next }
               dll != "" && NF == 0 { dll = ""; next }
               dll != "" && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/ && NF == 3 { print dll ": " $3 }' \
    <<<"$headers")
cxx_runtime='(^|: )(_Z|__cxa_|__gxx_|_Unwind_|__dynamic_cast|__std_|_CxxThrow|__CxxFrame|_purecall|\?\?)'
if grep -Eq "$cxx_runtime" <<<"$imports"; then
    fail "C++-runtime routines imported: $(grep -E "$cxx_runtime" <<<"$imports" | tr '\n' ' ')"
fi
echo "imported routines:"
sed 's/^/  /' <<<"$imports"

# Nothing but the four import libraries and libgcc went into the link.
while read -r lib; do
    case $(basename "$lib") in
    libntoskrnl.a | libhal.a | libusbd.a | libwmilib.a | libgcc.a) ;;
    *) fail "linked against $lib" ;;
    esac
done < <(sed -n 's/^LOAD \(.*\.a\)$/\1/p' "$map")

# ---------------------------------------------------------------------------------------------
# Every driver source is in the image; no object needs start-up or runtime support
# ---------------------------------------------------------------------------------------------
sources=0
for dir in "${driver_dirs[@]}"; do
    [[ -d $src/$dir ]] || continue
    while IFS= read -r -d '' file; do
        rel=${file#"$src"/}
        sources=$((sources + 1))
        grep -Fxq "LOAD CMakeFiles/quella.dir/__/$rel.obj" "$map" ||
            fail "$rel is not linked into quella.sys"
    done < <(find "$src/$dir" -name '*.cpp' -print0)
done
[[ $sources -gt 0 ]] || fail "no driver sources found"

# The objects the link used (stale objects of deleted sources are not looked at).
while IFS= read -r obj; do
    sections=$("$objdump" -h "$bin/windows/$obj" | awk '$1 ~ /^[0-9]+$/ { print $2 }')
    bad=$(grep -E '^\.(ctors|dtors|init_array|fini_array|tls|CRT|eh_frame|gcc_except_table|pdata|xdata)' \
        <<<"$sections" || true)
    [[ -z $bad ]] || fail "${obj#CMakeFiles/quella.dir/__/} has sections $(tr '\n' ' ' <<<"$bad")"
done < <(sed -n 's/^LOAD \(CMakeFiles\/quella\.dir\/.*\.obj\)$/\1/p' "$map")

# ---------------------------------------------------------------------------------------------
# One set of driver sources: nothing in them depends on which build compiles them
# ---------------------------------------------------------------------------------------------
flavour='^[[:space:]]*#[[:space:]]*(if|ifdef|ifndef|elif).*\b(QUELLA_EMU|QUELLA_EMU_PLATFORM|_WIN32|_WIN64|__MINGW32__|__MINGW64__|_MSC_VER|__linux__|__unix__|__GNUC__|__clang__|_X86_|__i386__|__x86_64__)\b'
for dir in "${driver_dirs[@]}"; do
    [[ -d $src/$dir ]] || continue
    hits=$(grep -rnE --include='*.cpp' --include='*.h' "$flavour" "$src/$dir" || true)
    [[ -z $hits ]] || fail "build-flavour conditionals in driver sources:
$hits"
done

echo "$sources driver sources checked in $(basename "$image") ($(stat -c %s "$image") bytes)"
if [[ $failures -gt 0 ]]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "quella.sys: all checks passed"
