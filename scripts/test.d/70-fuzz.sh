#!/bin/sh
# The fuzz targets as libFuzzer binaries (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer), each run for a bounded time on a scratch copy
# of its seed corpus so the repository is never written. Any crash, leak,
# sanitizer report or timeout fails the run. Two targets run at a time. The
# mutation seed is fixed (RT_FUZZ_SEED) so a run can be repeated; longer runs
# with other seeds are for engineers (see README).
set -eu
seconds="${RT_FUZZ_SECONDS:-10}"
seed="${RT_FUZZ_SEED:-20261208}"
case "${1:-}" in
    prepare)
        for tool in clang-14 clang++-14; do
            command -v "$tool" >/dev/null || { echo "$tool missing (scripts/packages.d/fuzz.list)" >&2; exit 1; }
        done
        ;;
    run)
        cmake --preset fuzz
        cmake --build --preset fuzz
        scratch="$(mktemp -d "${TMPDIR:-/tmp}/fuzz-run.XXXXXX")"
        trap 'rm -rf "$scratch"' EXIT
        # One target: its scratch corpus, its log; "failed" marks a failure.
        run_target() {
            name="$1"
            bin="build/fuzz/fuzz/fuzz_$name"
            mkdir -p "$scratch/$name/corpus" "$scratch/$name/crashes"
            if [ ! -x "$bin" ]; then
                echo "fuzz: no binary for $name" >"$scratch/$name/log"
                touch "$scratch/$name/failed"
                return
            fi
            cp "fuzz/corpus/$name/"* "$scratch/$name/corpus/" || { touch "$scratch/$name/failed"; return; }
            "$bin" -seed="$seed" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 \
                -close_fd_mask=1 -print_final_stats=1 \
                -artifact_prefix="$scratch/$name/crashes/" \
                "$scratch/$name/corpus" >"$scratch/$name/log" 2>&1 || touch "$scratch/$name/failed"
        }
        # Two targets at a time, one per core; each is bounded by its time.
        set -- $(for corpus in fuzz/corpus/*/; do basename "$corpus"; done)
        while [ $# -gt 0 ]; do
            echo "fuzz: $1${2:+ and $2} for ${seconds}s"
            run_target "$1" &
            if [ $# -gt 1 ]; then run_target "$2" & fi
            wait
            shift; if [ $# -gt 0 ]; then shift; fi
        done
        failed=""
        for corpus in fuzz/corpus/*/; do
            name="$(basename "$corpus")"
            if [ -e "$scratch/$name/failed" ]; then
                tail -n 60 "$scratch/$name/log" >&2
                ls -l "$scratch/$name/crashes" >&2
                failed="$failed $name"
            else
                echo "fuzz: $name $(grep -E '^stat::number_of_executed_units' "$scratch/$name/log" || true)"
            fi
        done
        if [ -n "$failed" ]; then
            echo "fuzz: failed:$failed" >&2
            exit 1
        fi
        ;;
esac
