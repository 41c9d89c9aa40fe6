# Sourced by the fuzz tests: builds a libFuzzer target and runs it for a
# bounded time. A machine without clang or its libFuzzer run-time skips (77).

# build_fuzz_target OUTPUT CLANG_ARGUMENTS...: OUTPUT built with ASan and UBSan.
build_fuzz_target() {
    output=$1
    shift
    clang=$(command -v clang++ || command -v clang++-14 || true)
    if [ -z "$clang" ]; then
        echo "Skipped: no clang++ is installed to build the fuzz target"
        exit 77
    fi
    mkdir -p "$(dirname "$output")"
    if ! "$clang" -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all "$@" \
            -o "$output" 2>"$output.log"; then
        cat "$output.log"
        if grep -q -i -e 'libclang_rt.fuzzer' -e 'fuzzer.*not found' "$output.log"; then
            echo "Skipped: clang's libFuzzer run-time is not installed"
            exit 77
        fi
        exit 1
    fi
}

# run_fuzz_target TARGET SECONDS CORPUS [LIBFUZZER_OPTIONS...]: from a folder
# of findings beside the corpus. A finding must fail the test: libFuzzer's own
# exit status for one, 77, is the test's status for a skip.
run_fuzz_target() {
    target=$1 seconds=$2 corpus=$3
    shift 3
    rm -rf "$corpus/../findings"
    mkdir -p "$corpus/../findings"
    cd "$corpus/../findings"
    exec "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -error_exitcode=1 \
        -print_final_stats=1 "$@" "$corpus"
}
