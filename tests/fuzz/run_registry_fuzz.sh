#!/bin/sh
# Builds the registry-file fuzz target with clang's libFuzzer and runs it for
# a bounded time on a copy of the seed corpus. Skips (77) without clang.
set -eu
source_dir=$1
work_dir=$2
seconds=${3:-45}
clang=$(command -v clang++ || command -v clang++-14 || true)
if [ -z "$clang" ]; then
    echo "Skipped: no clang++ is installed to build the fuzz target"
    exit 77
fi
mkdir -p "$work_dir"
if ! "$clang" -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
        -I "$source_dir/emulator" -I "$source_dir/emulator/include" \
        "$source_dir/tests/fuzz/registry_fuzz.cpp" "$source_dir/emulator/registry_file.cpp" \
        "$source_dir/emulator/case_fold.cpp" \
        "$source_dir/emulator/text.cpp" \
        -o "$work_dir/registry_fuzz" 2>"$work_dir/build.log"; then
    if grep -q -i -e 'libclang_rt.fuzzer' -e 'fuzzer.*not found' "$work_dir/build.log"; then
        cat "$work_dir/build.log"
        echo "Skipped: clang's libFuzzer run-time is not installed"
        exit 77
    fi
    cat "$work_dir/build.log"
    exit 1
fi
rm -rf "$work_dir/corpus" "$work_dir/findings"
mkdir -p "$work_dir/corpus" "$work_dir/findings"
cp "$source_dir"/tests/fuzz/corpus/* "$work_dir/corpus/"
cd "$work_dir/findings"
# A finding must fail the test: libFuzzer's own exit status for one, 77, is
# the test's status for a skip.
exec "$work_dir/registry_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -error_exitcode=1 \
    -max_len=4096 -print_final_stats=1 "$work_dir/corpus"
