#!/bin/sh
# Builds the fuzz target of ce-run's program reader with clang's libFuzzer
# and runs it for a bounded time. The seeds are the device build's own
# programs and copies of one of them with a header field set near 4 GiB,
# where sums and roundings of 32-bit fields wrap: random mutation seldom
# finds those. Skips (77) without clang.
set -eu
source_dir=$1
work_dir=$2
device_dir=$3
seconds=${4:-30}
. "$source_dir/tests/fuzz/fuzz_target.sh"
build_fuzz_target "$work_dir/program_fuzz" -I "$source_dir/ce-run" "$source_dir/tests/fuzz/program_fuzz.cpp" \
    "$source_dir/ce-run/program.cpp"
corpus=$work_dir/corpus
rm -rf "$corpus"
mkdir -p "$corpus"

# The device build's programs; the sample tool (it has resources and
# relocations) is the one the hostile copies are made of.
n=0
for program in "$device_dir/fwupgrade.exe" "$device_dir"/tests/device/tools/*.exe; do
    if [ -f "$program" ]; then
        n=$((n + 1))
        cp "$program" "$corpus/program-$n.exe"
    fi
done
if [ "$n" = 0 ]; then
    echo "no device build in $device_dir: the search starts from nothing"
fi
base=$corpus/program-1.exe

u16() { od -An -tu2 -j "$1" -N2 "$base" | tr -d ' '; }
u32() { od -An -tu4 -j "$1" -N4 "$base" | tr -d ' '; }
# hostile NAME OFFSET VALUE: a copy with the 32-bit field at OFFSET set.
hostile() {
    cp "$base" "$corpus/$1"
    printf "$(printf '\\%03o\\%03o\\%03o\\%03o' $(($3 & 255)) $((($3 >> 8) & 255)) $((($3 >> 16) & 255)) \
        $((($3 >> 24) & 255)))" | dd of="$corpus/$1" bs=1 seek="$2" conv=notrunc 2>/dev/null
}
if [ -f "$base" ]; then
    pe=$(u32 60)
    optional=$((pe + 24))
    table=$((optional + $(u16 $((pe + 20)))))
    sections=$(u16 $((pe + 6)))
    for value in 4294967295 4294963200 2147483648; do
        i=0
        while [ "$i" -lt "$sections" ]; do
            # VirtualSize, VirtualAddress, SizeOfRawData, PointerToRawData
            for field in 8 12 16 20; do
                hostile "section-$i-$field-$value" $((table + 40 * i + field)) "$value"
            done
            i=$((i + 1))
        done
        # The PE header's place, the symbol table and its count, the entry,
        # SizeOfImage, SizeOfHeaders, the stack reserve, the directories'
        # count and the import, resource and relocation directories.
        for at in 60 $((pe + 12)) $((pe + 16)) $((optional + 16)) $((optional + 56)) $((optional + 60)) \
                $((optional + 72)) $((optional + 92)) $((optional + 104)) $((optional + 108)) $((optional + 112)) \
                $((optional + 116)) $((optional + 136)) $((optional + 140)); do
            hostile "header-$at-$value" "$at" "$value"
        done
    done
fi
run_fuzz_target "$work_dir/program_fuzz" "$seconds" "$corpus" -max_len=65536
