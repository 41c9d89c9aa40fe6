#!/bin/sh
# Builds the fuzz target of ce-image's BIN image reader with clang's libFuzzer
# and runs it for a bounded time. The seeds are made by image_seeds.cpp from
# tests/rom_image_builder.h: well-formed images and copies of one with a
# 32-bit field set near 4 GiB. Skips (77) without clang.
set -eu
source_dir=$1
work_dir=$2
seconds=${3:-30}
. "$source_dir/tests/fuzz/fuzz_target.sh"
build_fuzz_target "$work_dir/image_fuzz" -I "$source_dir/ce-image" "$source_dir/tests/fuzz/image_fuzz.cpp" \
    "$source_dir/ce-image/rom_image.cpp"
"${CXX:-c++}" -std=c++17 -O1 -I "$source_dir/tests" "$source_dir/tests/fuzz/image_seeds.cpp" -o "$work_dir/image_seeds"
corpus=$work_dir/corpus
rm -rf "$corpus"
mkdir -p "$corpus"
"$work_dir/image_seeds" "$corpus"
run_fuzz_target "$work_dir/image_fuzz" "$seconds" "$corpus" -max_len=16384
