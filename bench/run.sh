#!/usr/bin/env bash
# Times tarn against the system-call floor and the peers, side by side, and
# prints the table.
#
#   bench/run.sh [--entries N] [--rounds R] [--no-million] [--only dense|sparse|moves]
#                [--baseline BINARY] [--work DIR] [--build DIR] [--table-only]
#
#   --entries N   files per workload (100000)
#   --rounds R    timed runs of every command (7)
#   --no-million  skip the memory check at 1,000,000 entries
#   --only dense  only the dense workloads (every name matches), with the
#                 microbenchmarks and the memory check
#   --only sparse only the sparse workloads (1 % of the names match), warm
#                 and cold
#   --only moves  only the moves across file systems (to /dev/shm) against mv
#   --baseline B  also time the tarn binary B (an earlier build, say) on the
#                 sparse workloads, beside this one
#   --no-peers    leave out the other renamers (and do not install them)
#   --work DIR    scratch directory for the workloads (/var/tmp/tarn-bench);
#                 put it on the disk the renames should be measured on, not on
#                 a tmpfs
#   --build DIR   build directory (build-bench in the repository)
#   --table-only  print the table of the last run again, measuring nothing
#
# Every timed run starts from a freshly made workload (hyperfine's --prepare
# removes the old one, makes a new one and syncs). The commands of a workload
# run one after another within a round, in reversed order every other round,
# and each ratio is taken against the matching floor of the same round; the
# table shows the medians over the rounds. Peak memory is /usr/bin/time -v's
# maximum resident set size, the largest over the rounds. A cold run has the
# page cache, dentries and inodes dropped after the workload is made, which
# needs root; where that is refused the cold rows are left out and said so.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
entries=100000
rounds=7
million=1
peers=1
only=
baseline=
table_only=0
work=/var/tmp/tarn-bench
build=$repo/build-bench
while [ $# -gt 0 ]; do
    case $1 in
    --entries) entries=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --no-million) million=0; shift ;;
    --only) only=$2; shift 2 ;;
    --no-peers) peers=0; shift ;;
    --baseline) baseline=$(realpath "$2"); shift 2 ;;
    --table-only) table_only=1; shift ;;
    --work) work=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    *) echo "usage: $0 [--entries N] [--rounds R] [--no-million] [--only dense|sparse|moves]" \
            "[--baseline BINARY] [--no-peers] [--work DIR] [--build DIR] [--table-only]" >&2
       exit 2 ;;
    esac
done
dense=1; sparse=1; moves=1
case $only in
dense) sparse=0; moves=0 ;;
sparse) dense=0; moves=0; million=0 ;;
moves) dense=0; sparse=0; million=0 ;;
'') ;;
*) echo "--only takes dense, sparse or moves" >&2; exit 2 ;;
esac

# --- What the benchmark needs --------------------------------------------
missing_packages() {
    local need=()
    command -v hyperfine >/dev/null || need+=(hyperfine)
    [ -x /usr/bin/time ] || need+=(time)
    command -v cmake >/dev/null || need+=(cmake)
    command -v ninja >/dev/null || need+=(ninja-build)
    command -v g++ >/dev/null || need+=(g++)
    command -v gcc >/dev/null || need+=(gcc)
    command -v python3 >/dev/null || need+=(python3)
    [ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
    # The peers: the Perl rename (not util-linux's rename) and mmv.
    if [ $peers = 1 ]; then
        [ -x /usr/bin/file-rename ] || need+=(rename)
        command -v mmv >/dev/null || need+=(mmv)
    fi
    echo "${need[@]}"
}
need=$(missing_packages)
if [ -n "$need" ]; then
    echo "Installing: $need"
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -q >/dev/null || true
        for package in $need; do
            apt-get install -y -q --no-install-recommends "$package" >/dev/null ||
                echo "Could not install $package."
        done
    else
        echo "Not root or no apt-get: cannot install them."
    fi
fi
for tool in hyperfine /usr/bin/time cmake ninja g++ gcc python3; do
    command -v "$tool" >/dev/null || { echo "Missing $tool; cannot run the benchmark." >&2; exit 1; }
done
[ -f /usr/include/benchmark/benchmark.h ] ||
    { echo "Missing Google Benchmark (libbenchmark-dev); cannot build the benchmarks." >&2; exit 1; }
have_rename=0; [ $peers = 1 ] && [ -x /usr/bin/file-rename ] && have_rename=1
have_mmv=0; [ $peers = 1 ] && command -v mmv >/dev/null && have_mmv=1
not_found=()
[ $peers = 1 ] && [ $have_rename = 0 ] && not_found+=("Perl rename (package rename)")
[ $peers = 1 ] && [ $have_mmv = 0 ] && not_found+=("mmv")

measure() {
# --- Build ----------------------------------------------------------------
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARN_BUILD_BENCH=ON \
        -DTARN_BUILD_TESTS=OFF >/dev/null
else
    cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARN_BUILD_BENCH=ON >/dev/null
fi
cmake --build "$build" -j2 --target tarn floor_rename make_workload core_bench entry_list_memory >/dev/null
tarn=$build/tarn
floor=$build/bench/floor_rename
make=$build/bench/make_workload

rm -rf "$out"
mkdir -p "$out/memory"
echo "$rounds $entries $(date -u +%Y-%m-%d)" >"$out/settings"

if [ $dense = 1 ]; then
# --- Microbenchmarks of the per-entry core --------------------------------
echo "Microbenchmarks of the per-entry core ..."
# Repetitions of all benchmarks are shuffled together, so that a change in
# the machine's load falls on the bounded and the plain matcher alike.
"$build/bench/core_bench" --benchmark_min_time=0.2 --benchmark_repetitions=9 \
    --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
    --benchmark_format=json >"$out/core.json" 2>/dev/null
fi

# --- Timed runs -----------------------------------------------------------
# One line per command: slug | what it is | floor slug | command, run in the
# workload directory. The floor rows name themselves.
flat_commands=(
    "floor|floor: readdir, stat, stat(target), rename|floor|$floor flat"
    "tarn|tarn IMG_(\\d+) photo-\$1|floor|$tarn 'IMG_(\\d+)' 'photo-\$1'"
    "floor_1|floor, one call: readdir, rename|floor|$floor flat -1"
    "floor_v|floor, one flushed line per entry|floor_v|$floor flat -v >$work/lines.log"
    "tarn_v|tarn -v|floor_v|$tarn -v 'IMG_(\\d+)' 'photo-\$1' >$work/lines.log"
    "floor_n|floor dry run: readdir, stat, stat|floor_n|$floor flat -n"
    "tarn_n|tarn -n|floor_n|$tarn -n 'IMG_(\\d+)' 'photo-\$1'"
    "floor_n1|floor dry run, one call: readdir, stat(target)|floor_n|$floor flat -n -1"
)
[ $have_rename = 1 ] && flat_commands+=(
    "perl_rename|Perl rename, names from find -print0|floor|sh -c \"find . -maxdepth 1 -name 'IMG_*' -print0 | /usr/bin/file-rename -0 's/IMG_(\\\\d+)/photo-\\\$1/'\"")
[ $have_mmv = 1 ] && flat_commands+=(
    "mmv|mmv 'IMG_*.jpg' 'photo-#1.jpg'|floor|mmv 'IMG_*.jpg' 'photo-#1.jpg'")

tree_commands=(
    "floor_r|floor -r: readdir, stat, stat(target), rename into .|floor_r|$floor tree"
    "tarn_r|tarn -r IMG_(\\d+) photo-\$1|floor_r|$tarn -r 'IMG_(\\d+)' 'photo-\$1'"
    "floor_in|floor in place: the same, each file in its directory|floor_in|$floor inplace"
    "tarn_rd|tarn -rd IMG_(\\d+) photo-\$1 (in place)|floor_in|$tarn -rd 'IMG_(\\d+)' 'photo-\$1'"
    "floor_in1|floor in place, one call: readdir, rename|floor_in|$floor inplace -1"
    "floor_rn|floor -r dry run: readdir, stat, stat|floor_rn|$floor tree -n"
    "tarn_rn|tarn -rn|floor_rn|$tarn -rn 'IMG_(\\d+)' 'photo-\$1'"
    "floor_mv|floor moving ./d* to ./n*, making directories|floor_mv|$floor move"
    "tarn_mv|tarn -rd ^\\./d ./n (2,110 directories made)|floor_mv|$tarn -rd '^\\./d' './n'"
)
[ $have_rename = 1 ] && tree_commands+=(
    "perl_rename_in|Perl rename in place, names from find -print0|floor_in|sh -c \"find . -type f -name 'IMG_*' -print0 | /usr/bin/file-rename -0 's/IMG_(\\\\d+)/photo-\\\$1/'\"")
[ $have_mmv = 1 ] && tree_commands+=(
    "mmv_in|mmv ';IMG_*.jpg' '#1photo-#2.jpg' (in place)|floor_in|mmv ';IMG_*.jpg' '#1photo-#2.jpg'")

# The sparse workloads: the same files, a pattern that matches the names
# ending in 99.jpg (1 %). The yardsticks are find with the same name test
# (the listing alone), the floor asking for every entry's status first (what
# a renamer pays without the listing's types) and the floor asking only for
# the matches' (what the renames themselves cost beyond the listing).
sparse_pattern="'IMG_(\\d*99)\\.jpg' 'photo-\$1.jpg'"
sparse_flat_commands=(
    "find_n|find -maxdepth 1 -type f -name 'IMG_*99.jpg' (listing only)|find_n|find . -maxdepth 1 -type f -name 'IMG_*99.jpg' >/dev/null"
    "floor_all_n|floor dry run, stat of every entry first|find_n|$floor flat -n -s"
    "floor_t_n|floor dry run, stat of the matches only|find_n|$floor flat -n -s -t"
    "tarn_n|tarn -n|find_n|$tarn -n $sparse_pattern"
    "floor_t|floor renaming the matches: stat, stat(target), rename|floor_t|$floor flat -s -t"
    "tarn|tarn renaming the 1 %|floor_t|$tarn $sparse_pattern"
)
sparse_tree_commands=(
    "find_rn|find -type f -name 'IMG_*99.jpg' (listing only)|find_rn|find . -type f -name 'IMG_*99.jpg' >/dev/null"
    "floor_all_rn|floor -r dry run, stat of every entry first|find_rn|$floor tree -n -s"
    "floor_t_rn|floor -r dry run, stat of the matches only|find_rn|$floor tree -n -s -t"
    "tarn_rn|tarn -rn|find_rn|$tarn -rn $sparse_pattern"
    "floor_t_r|floor -r renaming the matches into .|floor_t_r|$floor tree -s -t"
    "tarn_r|tarn -r renaming the 1 % into .|floor_t_r|$tarn -r $sparse_pattern"
)
if [ -n "$baseline" ]; then
    sparse_flat_commands+=(
        "base_n|baseline tarn -n|find_n|$baseline -n $sparse_pattern"
        "base|baseline tarn renaming the 1 %|floor_t|$baseline $sparse_pattern")
    sparse_tree_commands+=(
        "base_rn|baseline tarn -rn|find_rn|$baseline -rn $sparse_pattern"
        "base_r|baseline tarn -r renaming the 1 % into .|floor_t_r|$baseline -r $sparse_pattern")
fi
cold=0
if [ $sparse = 1 ] && sync && (echo 3 >/proc/sys/vm/drop_caches) 2>/dev/null; then
    cold=1
fi
drop_caches="sync && echo 3 >/proc/sys/vm/drop_caches"

: >"$out/commands.txt"
declare -A prepare_of=()  # how a workload is made, where not by make_workload
time_round() {  # kind (the table), workload (flat or tree), cold (0 or 1), round, commands...
    local kind=$1 workload=$2 cold_run=$3 round=$4
    shift 4
    local lines=("$@")
    if [ $((round % 2)) = 0 ]; then
        local reversed=()
        for ((i = ${#lines[@]} - 1; i >= 0; i--)); do reversed+=("${lines[i]}"); done
        lines=("${reversed[@]}")
    fi
    local args=()
    for line in "${lines[@]}"; do
        IFS='|' read -r slug label reference command <<<"$line"
        [ "$round" = 1 ] && printf '%s|%s|%s|%s\n' "$kind" "$slug" "$label" "$reference" >>"$out/commands.txt"
        args+=(-n "$slug" "cd $w && /usr/bin/time -v -a -o $out/memory/$kind-$slug $command")
    done
    local prepare=${prepare_of[$workload]:-"$make $workload $entries $w && sync"}
    [ "$cold_run" = 1 ] && prepare="$prepare && $drop_caches"
    hyperfine --runs 1 --style none --prepare "$prepare" \
        --export-json "$out/$kind-$round.json" "${args[@]}" >/dev/null
}

[ $dense = 1 ] && echo "Timing $rounds rounds of ${#flat_commands[@]} commands on $entries files in one" \
     "directory and ${#tree_commands[@]} on a tree of $entries files, in $work ($fs) ..."
if [ $sparse = 1 ]; then
    temperatures=warm
    [ $cold = 1 ] && temperatures="warm cold"
    echo "Timing $rounds rounds of the sparse workloads ($temperatures), in $work ($fs) ..."
    if [ $cold = 0 ]; then
        echo "cold: not measured (dropping the caches was refused)"
    fi
fi
start=$(date +%s)
for ((round = 1; round <= rounds; round++)); do
    if [ $dense = 1 ]; then
        time_round flat flat 0 "$round" "${flat_commands[@]}"
        time_round tree tree 0 "$round" "${tree_commands[@]}"
    fi
    if [ $sparse = 1 ]; then
        for temperature in $temperatures; do
            cold_run=0
            [ $temperature = cold ] && cold_run=1
            time_round "sparse-flat-$temperature" flat $cold_run "$round" "${sparse_flat_commands[@]}"
            time_round "sparse-tree-$temperature" tree $cold_run "$round" "${sparse_tree_commands[@]}"
        done
    fi
    echo "  round $round of $rounds done after $(($(date +%s) - start)) s"
done

# --- Moves across file systems --------------------------------------------
# From the work directory's file system to /dev/shm (a tmpfs), tarn against mv
# making the same move in the same round: 1,000 files of 1 KiB, and one file
# of 1 GiB. The files are copied afresh from a master and synced before each
# run, so both find them in the page cache.
shm=/dev/shm/tarn-bench
if [ $moves = 1 ]; then
if [ ! -d /dev/shm ] || [ "$(stat -c %d /dev/shm)" = "$(stat -c %d "$work")" ]; then
    echo "No /dev/shm on another file system than $work: moves across file systems not timed."
else
    [ -f "$work/master-1g" ] || head -c 1073741824 /dev/urandom >"$work/master-1g"
    fresh="rm -rf $w $shm && mkdir -p $w $shm"
    prepare_of[move_small]="$fresh && head -c 1024000 $work/master-1g | split -b 1024 -a 3 - $w/f && sync"
    prepare_of[move_big]="$fresh && cp $work/master-1g $w/big && sync"
    small_commands=(
        "mv_small|mv f* /dev/shm/...|mv_small|mv f* $shm/"
        "tarn_small|tarn ^(f.*)\$ /dev/shm/.../\$1|mv_small|$tarn '^(f.*)\$' '$shm/\$1'")
    big_commands=(
        "mv_big|mv big /dev/shm/...|mv_big|mv big $shm/big"
        "tarn_big|tarn ^big\$ /dev/shm/.../big|mv_big|$tarn '^big\$' $shm/big")
    echo "Timing $rounds rounds of moves from $work to /dev/shm ..."
    start=$(date +%s)
    for ((round = 1; round <= rounds; round++)); do
        time_round move_small move_small 0 "$round" "${small_commands[@]}"
        time_round move_big move_big 0 "$round" "${big_commands[@]}"
        echo "  round $round of $rounds done after $(($(date +%s) - start)) s"
    done
    rm -rf "$shm"
fi
fi

# --- Memory at a million entries ------------------------------------------
if [ $million = 1 ]; then
    echo "Memory at 1,000,000 entries ..."
    for kind in flat tree; do
        "$make" $kind 1000000 "$w"
        "$build/bench/entry_list_memory" "$w" >"$out/million-$kind.txt"
    done
    "$make" flat 1000000 "$w"
    sync
    (cd "$w" && /usr/bin/time -v -o "$out/million-run.txt" "$tarn" 'IMG_(\d+)' 'photo-$1')
fi
rm -rf "$w" "$w.trash"
}

mkdir -p "$work"
work=$(cd "$work" && pwd)
fs=$(findmnt -no FSTYPE -T "$work" 2>/dev/null || stat -f -c %T "$work")
[ "$fs" = tmpfs ] && echo "Warning: $work is on a tmpfs; the figures will not be a disk's."
out=$work/results
w=$work/w
[ $table_only = 1 ] || measure
[ -f "$out/settings" ] || { echo "No results in $out to print." >&2; exit 1; }
read -r rounds entries date <"$out/settings"

versions=()
[ $have_rename = 1 ] && versions+=("$(/usr/bin/file-rename --version 2>&1 | sed -n 's/.*File::Rename version/Perl rename (File::Rename)/p')")
[ $have_mmv = 1 ] && versions+=("$(mmv --version 2>&1 | head -n 1)")
versions+=("$(hyperfine --version)")

# --- The table ------------------------------------------------------------
python3 - "$out" "$rounds" "$entries" "$date" "$fs" "${not_found[*]:-}" \
    "$(printf '%s; ' "${versions[@]}")" <<'EOF'
import json, os, re, statistics, sys

out, rounds, entries, date, fs, not_found, versions = sys.argv[1:2] + [int(sys.argv[2]), int(sys.argv[3])] + sys.argv[4:8]
rows = [line.rstrip("\n").split("|") for line in open(os.path.join(out, "commands.txt"))]

def peak_kib(kind, slug):
    text = open(os.path.join(out, "memory", f"{kind}-{slug}")).read()
    return max(int(v) for v in re.findall(r"Maximum resident set size \(kbytes\): (\d+)", text))

print()
print(f"{date}, {os.cpu_count()} CPUs, {fs}, {entries:,} empty files, median of {rounds} interleaved rounds")
print(f"with {versions.rstrip('; ')}")
titles = {
    "flat": "one directory",
    "tree": "a tree of 2,110 directories, depth 3 to 4",
    "sparse-flat-warm": "sparse, one directory, 1 % match, warm cache",
    "sparse-flat-cold": "sparse, one directory, 1 % match, cold cache",
    "sparse-tree-warm": "sparse, tree of 2,110 directories, 1 % match, warm cache",
    "sparse-tree-cold": "sparse, tree of 2,110 directories, 1 % match, cold cache",
    "move_small": "1,000 files of 1 KiB to /dev/shm",
    "move_big": "one file of 1 GiB to /dev/shm",
}
kinds = [kind for kind in titles if any(row[0] == kind for row in rows)]
for kind in kinds:
    title = titles[kind]
    times = {}
    for r in range(1, rounds + 1):
        for result in json.load(open(os.path.join(out, f"{kind}-{r}.json")))["results"]:
            times.setdefault(result["command"], []).append(result["times"][0])
    print()
    reference_name = "mv" if kind.startswith("move") else "floor"
    print(f"| {title} | median s | vs {reference_name}, same round (min to max) | peak RSS MiB |")
    print("|---|---|---|---|")
    for row_kind, slug, label, reference in rows:
        if row_kind != kind:
            continue
        ratios = [t / f for t, f in zip(times[slug], times[reference])]
        ratio = f"1.00 ({reference_name})" if slug == reference else \
            f"{statistics.median(ratios):.3f} ({min(ratios):.2f} to {max(ratios):.2f})"
        print(f"| {label} | {statistics.median(times[slug]):.3f} | {ratio} | {peak_kib(kind, slug) / 1024:.1f} |")
if "sparse-flat-warm" in kinds and "sparse-flat-cold" not in kinds:
    print()
    print("cold: not measured (dropping the caches was refused)")

if os.path.exists(os.path.join(out, "core.json")):
    core = {b["run_name"]: b["cpu_time"] for b in json.load(open(os.path.join(out, "core.json")))["benchmarks"]
            if b.get("aggregate_name") == "median"}
    print()
    print("| per-entry core, median of 9 | ns | bounded / plain |")
    print("|---|---|---|")
    pairs = {"search_bounded/0": "search_plain/0", "search_bounded/1": "search_plain/1", "core_bounded": "core_plain"}
    for name in sorted(core):
        ratio = f"{core[name] / core[pairs[name]]:.3f}" if name in pairs else ""
        print(f"| {name} | {core[name]:.0f} | {ratio} |")

million = [os.path.join(out, f"million-{k}.txt") for k in ("flat", "tree")]
if all(os.path.exists(p) for p in million):
    print()
    for kind, path in zip(("flat", "tree"), million):
        print(f"entry_list at 1,000,000 entries, {kind}: {open(path).read().strip()}")
    run = open(os.path.join(out, "million-run.txt")).read()
    peak = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", run).group(1))
    wall = re.search(r"Elapsed \(wall clock\) time.*: (\S+)", run).group(1)
    print(f"tarn renaming 1,000,000 files in one directory: peak RSS {peak / 1024:.1f} MiB, {wall} wall clock")
if not_found:
    print()
    print(f"Peers not found: {not_found}")
EOF
