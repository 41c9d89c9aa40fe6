#!/bin/sh
# Builds the registry-file fuzz target with clang's libFuzzer and runs it for
# a bounded time on a copy of the seed corpus. Skips (77) without clang.
set -eu
source_dir=$1
work_dir=$2
seconds=${3:-45}
. "$source_dir/tests/fuzz/fuzz_target.sh"
emulator=$source_dir/emulator
build_fuzz_target "$work_dir/registry_fuzz" -I "$emulator" -I "$emulator/include" -I "$emulator/device" \
    -I "$emulator/storage" -I "$emulator/registry" -I "$emulator/console" \
    "$source_dir/tests/fuzz/registry_fuzz.cpp" "$emulator/registry/registry_file.cpp" \
    "$emulator/console/case_fold.cpp" "$emulator/console/text.cpp"
rm -rf "$work_dir/corpus"
mkdir -p "$work_dir/corpus"
cp "$source_dir"/tests/fuzz/corpus/* "$work_dir/corpus/"
run_fuzz_target "$work_dir/registry_fuzz" "$seconds" "$work_dir/corpus" -max_len=4096
