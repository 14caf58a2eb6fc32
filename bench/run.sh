#!/usr/bin/env bash
# Times tarn against the system-call floor and the peers, side by side, and
# prints the table.
#
#   bench/run.sh [--entries N] [--rounds R] [--no-million] [--moves-only] [--work DIR] [--build DIR]
#
#   --entries N   files per workload (100000)
#   --rounds R    timed runs of every command (7)
#   --no-million  skip the memory check at 1,000,000 entries
#   --moves-only  time only the moves across file systems (to /dev/shm)
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
# maximum resident set size, the largest over the rounds.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
entries=100000
rounds=7
million=1
moves_only=0
table_only=0
work=/var/tmp/tarn-bench
build=$repo/build-bench
while [ $# -gt 0 ]; do
    case $1 in
    --entries) entries=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --no-million) million=0; shift ;;
    --moves-only) moves_only=1; million=0; shift ;;
    --table-only) table_only=1; shift ;;
    --work) work=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    *) echo "usage: $0 [--entries N] [--rounds R] [--no-million] [--moves-only] [--work DIR] [--build DIR] [--table-only]" >&2
       exit 2 ;;
    esac
done

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
    [ -x /usr/bin/file-rename ] || need+=(rename)
    command -v mmv >/dev/null || need+=(mmv)
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
have_rename=0; [ -x /usr/bin/file-rename ] && have_rename=1
have_mmv=0; command -v mmv >/dev/null && have_mmv=1
not_found=()
[ $have_rename = 1 ] || not_found+=("Perl rename (package rename)")
[ $have_mmv = 1 ] || not_found+=("mmv")

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

# --- Microbenchmarks of the per-entry core --------------------------------
[ $moves_only = 1 ] || echo "Microbenchmarks of the per-entry core ..."
# Repetitions of all benchmarks are shuffled together, so that a change in
# the machine's load falls on the bounded and the plain matcher alike.
[ $moves_only = 1 ] || "$build/bench/core_bench" --benchmark_min_time=0.2 --benchmark_repetitions=9 \
    --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
    --benchmark_format=json >"$out/core.json" 2>/dev/null

# --- Timed runs -----------------------------------------------------------
# One line per command: slug | what it is | floor slug | command, run in the
# workload directory. The floor rows name themselves.
flat_commands=(
    "floor|floor: readdir, stat, stat(target), rename|floor|$floor flat"
    "tarn|tarn IMG_(\\d+) photo-\$1|floor|$tarn 'IMG_(\\d+)' 'photo-\$1'"
    "floor_v|floor, one flushed line per entry|floor_v|$floor flat -v >$work/lines.log"
    "tarn_v|tarn -v|floor_v|$tarn -v 'IMG_(\\d+)' 'photo-\$1' >$work/lines.log"
    "floor_n|floor dry run: readdir, stat, stat|floor_n|$floor flat -n"
    "tarn_n|tarn -n|floor_n|$tarn -n 'IMG_(\\d+)' 'photo-\$1'"
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
    "floor_rn|floor -r dry run: readdir, stat, stat|floor_rn|$floor tree -n"
    "tarn_rn|tarn -rn|floor_rn|$tarn -rn 'IMG_(\\d+)' 'photo-\$1'"
    "floor_mv|floor moving ./d* to ./n*, making directories|floor_mv|$floor move"
    "tarn_mv|tarn -rd ^\\./d ./n (2,110 directories made)|floor_mv|$tarn -rd '^\\./d' './n'"
)
[ $have_rename = 1 ] && tree_commands+=(
    "perl_rename_in|Perl rename in place, names from find -print0|floor_in|sh -c \"find . -type f -name 'IMG_*' -print0 | /usr/bin/file-rename -0 's/IMG_(\\\\d+)/photo-\\\$1/'\"")
[ $have_mmv = 1 ] && tree_commands+=(
    "mmv_in|mmv ';IMG_*.jpg' '#1photo-#2.jpg' (in place)|floor_in|mmv ';IMG_*.jpg' '#1photo-#2.jpg'")

: >"$out/commands.txt"
declare -A prepare=()  # how a workload kind is made, where not by make_workload
time_round() {  # workload kind, round, commands...
    local kind=$1 round=$2
    shift 2
    local make_it=${prepare[$kind]:-"$make $kind $entries $w && sync"}
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
        args+=(-n "$slug" "cd $w && /usr/bin/time -v -a -o $out/memory/$slug $command")
    done
    hyperfine --runs 1 --style none --prepare "$make_it" \
        --export-json "$out/$kind-$round.json" "${args[@]}" >/dev/null
}

[ $moves_only = 1 ] || echo "Timing $rounds rounds of ${#flat_commands[@]} commands on $entries files in one directory" \
     "and ${#tree_commands[@]} on a tree of $entries files, in $work ($fs) ..."
start=$(date +%s)
for ((round = 1; round <= rounds && moves_only == 0; round++)); do
    time_round flat "$round" "${flat_commands[@]}"
    time_round tree "$round" "${tree_commands[@]}"
    echo "  round $round of $rounds done after $(($(date +%s) - start)) s"
done

# --- Moves across file systems --------------------------------------------
# From the work directory's file system to /dev/shm (a tmpfs), tarn against mv
# making the same move in the same round: 1,000 files of 1 KiB, and one file
# of 1 GiB. The files are copied afresh from a master and synced before each
# run, so both find them in the page cache.
shm=/dev/shm/tarn-bench
if [ ! -d /dev/shm ] || [ "$(stat -c %d /dev/shm)" = "$(stat -c %d "$work")" ]; then
    echo "No /dev/shm on another file system than $work: moves across file systems not timed."
else
    [ -f "$work/master-1g" ] || head -c 1073741824 /dev/urandom >"$work/master-1g"
    fresh="rm -rf $w $shm && mkdir -p $w $shm"
    prepare[move_small]="$fresh && head -c 1024000 $work/master-1g | split -b 1024 -a 3 - $w/f && sync"
    prepare[move_big]="$fresh && cp $work/master-1g $w/big && sync"
    small_commands=(
        "mv_small|mv f* /dev/shm/...|mv_small|mv f* $shm/"
        "tarn_small|tarn ^(f.*)\$ /dev/shm/.../\$1|mv_small|$tarn '^(f.*)\$' '$shm/\$1'")
    big_commands=(
        "mv_big|mv big /dev/shm/...|mv_big|mv big $shm/big"
        "tarn_big|tarn ^big\$ /dev/shm/.../big|mv_big|$tarn '^big\$' $shm/big")
    echo "Timing $rounds rounds of moves from $work to /dev/shm ..."
    for ((round = 1; round <= rounds; round++)); do
        time_round move_small "$round" "${small_commands[@]}"
        time_round move_big "$round" "${big_commands[@]}"
        echo "  round $round of $rounds done after $(($(date +%s) - start)) s"
    done
    rm -rf "$shm"
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

def peak_kib(slug):
    text = open(os.path.join(out, "memory", slug)).read()
    return max(int(v) for v in re.findall(r"Maximum resident set size \(kbytes\): (\d+)", text))

print()
workload = f"{entries:,} empty files" if os.path.exists(os.path.join(out, "flat-1.json")) else "moves only"
print(f"{date}, {os.cpu_count()} CPUs, {fs}, {workload}, median of {rounds} interleaved rounds")
print(f"with {versions.rstrip('; ')}")
for kind, title in (("flat", "one directory"), ("tree", "a tree of 2,110 directories, depth 3 to 4"),
                    ("move_small", "1,000 files of 1 KiB to /dev/shm"), ("move_big", "one file of 1 GiB to /dev/shm")):
    if not os.path.exists(os.path.join(out, f"{kind}-1.json")):
        continue
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
        print(f"| {label} | {statistics.median(times[slug]):.3f} | {ratio} | {peak_kib(slug) / 1024:.1f} |")

core_path = os.path.join(out, "core.json")
core = {} if not os.path.exists(core_path) else {b["run_name"]: b["cpu_time"] for b in json.load(open(core_path))["benchmarks"]
        if b.get("aggregate_name") == "median"}
if core:
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
