# shellcheck shell=bash
# What the benchmark scripts share: a scratch folder in $work and the
# background processes listed in $pids, both gone when the script ends.
#   source "$root/bench/lib.sh"; bench_scratch /tmp/amparo-xxx.XXXXXX

bench_scratch() {
    work=$(mktemp -d "$1")
    pids=()
    trap bench_cleanup EXIT
}

bench_cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
