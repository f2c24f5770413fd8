#!/usr/bin/env bash
# Extraction benchmark: the same ~200 MB payload unpacked by sfx --unpack
# (an installer built with mksfx) and by unzip, 7-Zip and bsdtar, plus a
# `cp -r` of the extracted tree (the floor: no decoding at all), in one run,
# on tmpfs and on a directory of the real disk. Each case runs ROUNDS times
# in turn (sfx, unzip, 7z, bsdtar, cp, sfx, ...), so the neighbours' load
# falls on every tool alike; the median wall time and the largest peak
# resident memory of a case are printed, with each tool's time relative to
# sfx. Then, once per tool on tmpfs, the system calls per extracted file
# (strace -f -c): all of them, stat-type calls, opens and flushes.
#
# Usage: tools/bench/bench-extract.sh [options] [MEGABYTES] [BUILD_DIR]
#   --rounds N        runs per case (default 3)
#   --disk DIR        directory on the real disk (default BUILD_DIR/../bench-disk)
#   --no-disk         tmpfs only
#   --no-strace       skip the system-call counts
#   --workers N|all   decode with N workers (one-worker vs all workers)
#   --slow-close MS   inject a close delay of MS per file through the OS layer
#                     (QZR_TEST_CLOSE_DELAY_MS) and time sfx on tmpfs with it
#   --flush-cost      time sfx on the real disk with the time spent inside its
#                     flush calls (strace -T), to show what the flush costs
# --workers prints "not available" while sfx has no worker threads.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
rounds=3 disk="" useDisk=1 useStrace=1 workers="" slowClose="" flushCost=0
args=()
while (($#)); do
  case $1 in
    --rounds) rounds=$2; shift 2 ;;
    --disk) disk=$2; shift 2 ;;
    --no-disk) useDisk=0; shift ;;
    --no-strace) useStrace=0; shift ;;
    --workers) workers=$2; shift 2 ;;
    --slow-close) slowClose=$2; shift 2 ;;
    --flush-cost) flushCost=1; shift ;;
    -h|--help) sed -n '2,24p' "$0"; exit 0 ;;
    *) args+=("$1"); shift ;;
  esac
done
mb=${args[0]:-200}
build=$(cd "${args[1]:-$here/build/native}" && pwd)
disk=${disk:-$(dirname "$build")/bench-disk}

for tool in unzip bsdtar /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "bench-extract: $tool missing (scripts/install-deps)" >&2; exit 1; }
done
sevenzip=$(command -v 7z || command -v 7zz) || { echo "bench-extract: 7z missing (scripts/install-deps)" >&2; exit 1; }
if ((useStrace)) && ! command -v strace >/dev/null; then
  echo "bench-extract: strace missing, installing it with scripts/install-deps" >&2
  "$here/scripts/install-deps" >&2
fi

tmpfs=$(mktemp -d /dev/shm/sfx-bench.XXXXXX)
places=("$tmpfs")
if ((useDisk)); then
  mkdir -p "$disk"
  places+=("$(mktemp -d "$disk/sfx-bench.XXXXXX")")
fi
trap 'rm -rf "${places[@]}"' EXIT

# The payload and the installer live on tmpfs, so reading them costs the same
# wherever the output goes.
python3 "$here/tools/bench/make-payload.py" "$tmpfs/payload.zip" "$mb" >/dev/null
"$build/tools/mksfx" --stub "$build/sfx" --zip "$tmpfs/payload.zip" -o "$tmpfs/setup" >/dev/null
read -r bytes files < <(python3 -c "import zipfile,sys
z = zipfile.ZipFile(sys.argv[1]).infolist()
print(sum(i.file_size for i in z), sum(1 for i in z if not i.is_dir()))" "$tmpfs/payload.zip")

# Runs a command (its output discarded) and prints "seconds maxrss_kib";
# a failing command aborts the benchmark. The peak comes from GNU time, a
# small program of its own, so the figure is the tool's and not the
# interpreter's that forked it.
measure() {
  python3 - "$tmpfs/rss" "$@" <<'PY'
import subprocess, sys, time
t0 = time.perf_counter()
r = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", sys.argv[1]] + sys.argv[2:],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
t1 = time.perf_counter()
if r.returncode != 0:
    sys.exit(f"bench-extract: {sys.argv[2:]} failed ({r.returncode})")
print(f"{t1 - t0:.3f} {open(sys.argv[1]).read().split()[-1]}")
PY
}

# The command of each tool, extracting into $1 (the tree for cp is $2).
toolCommand() {  # tool, out, tree
  case $1 in
    sfx) echo "$tmpfs/setup" --unpack "$2" ;;
    unzip) echo unzip -q "$tmpfs/payload.zip" -d "$2" ;;
    7z) echo "$sevenzip" x -y -bd "-o$2" "$tmpfs/payload.zip" ;;
    bsdtar) echo bsdtar -xf "$tmpfs/payload.zip" -C "$2" ;;
    cp) echo cp -r "$3" "$2/tree" ;;
  esac
}
tools=(sfx unzip 7z bsdtar cp)

results=$tmpfs/results.tsv
: >"$results"
for place in "${places[@]}"; do
  fs=$(df -T "$place" | awk 'NR == 2 {print $2}')
  tree=$place/tree
  mkdir "$tree"
  unzip -q "$tmpfs/payload.zip" -d "$tree"
  for ((r = 0; r < rounds; r++)); do
    for tool in "${tools[@]}"; do
      rm -rf "$place/out"
      mkdir "$place/out"
      sync
      # shellcheck disable=SC2046
      m=$(measure $(toolCommand "$tool" "$place/out" "$tree"))
      read -r secs rss <<<"$m"
      printf '%s\t%s\t%s\t%s\n' "$fs" "$tool" "$secs" "$rss" >>"$results"
    done
  done
  rm -rf "$place/out" "$tree"
  sync
done

echo "payload: $((bytes / 1000000)) MB in $files files; $rounds rounds; $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) cores"
python3 - "$results" "$bytes" <<'PY'
import statistics, sys
rows = [l.split("\t") for l in open(sys.argv[1]).read().splitlines() if l]
size = int(sys.argv[2])
cases = {}
for fs, tool, secs, rss in rows:
    c = cases.setdefault((fs, tool), [[], 0])
    c[0].append(float(secs))
    c[1] = max(c[1], int(rss))
for fs in dict.fromkeys(r[0] for r in rows):
    base = statistics.median(cases[(fs, "sfx")][0])
    print(f"\n{fs}: median wall time of each case")
    print(f"{'tool':8} {'seconds':>8} {'min':>7} {'max':>7} {'MB/s':>7} {'peak MiB':>9} {'sfx / tool':>11}")
    for (f, tool), (times, rss) in cases.items():
        if f != fs:
            continue
        m = statistics.median(times)
        print(f"{tool:8} {m:8.2f} {min(times):7.2f} {max(times):7.2f} {size / 1e6 / m:7.0f} {rss / 1024:9.1f} {base / m:11.2f}")
PY

if ((useStrace)); then
  echo
  echo "system calls per file (strace -f -c, tmpfs, $files files): all, stat-type, open, flush"
  for tool in sfx unzip 7z bsdtar; do
    rm -rf "$tmpfs/out"
    mkdir "$tmpfs/out"
    # shellcheck disable=SC2046
    strace -f -c -o "$tmpfs/strace.txt" $(toolCommand "$tool" "$tmpfs/out") >/dev/null 2>&1
    python3 - "$tmpfs/strace.txt" "$files" "$tool" <<'PY'
import sys
stat = {"stat", "lstat", "fstat", "newfstatat", "fstatat64", "statx", "stat64", "lstat64", "fstat64",
        "access", "faccessat", "faccessat2", "readlink", "readlinkat"}
opens = {"open", "openat", "openat2", "creat"}
flush = {"fsync", "fdatasync", "syncfs", "sync", "sync_file_range"}
counts = {}
for line in open(sys.argv[1]):
    f = line.split()
    if len(f) >= 5 and f[-1] != "total" and f[3].isdigit():
        counts[f[-1]] = int(f[3])
files = int(sys.argv[2])
def per(names): return sum(v for k, v in counts.items() if k in names) / files
print(f"{sys.argv[3]:8} {sum(counts.values()) / files:7.1f} {per(stat):7.2f} {per(opens):7.2f} {per(flush):7.2f}")
PY
  done
  rm -rf "$tmpfs/out"
fi

echo
[[ -n $workers ]] && echo "workers $workers: not available (sfx decodes on one thread)"
if [[ -n $slowClose ]]; then
  # The close delay comes from the OS layer's test seam, as a virus scanner
  # would add it on Windows; sfx closes every file on the walk thread.
  times=()
  for ((r = 0; r < rounds; r++)); do
    rm -rf "$tmpfs/out"
    mkdir "$tmpfs/out"
    # shellcheck disable=SC2046
    m=$(QZR_TEST_CLOSE_DELAY_MS=$slowClose measure $(toolCommand sfx "$tmpfs/out"))
    times+=("${m%% *}")
  done
  rm -rf "$tmpfs/out"
  median=$(printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}')
  echo "slow close ${slowClose} ms per file, tmpfs, one worker: ${median} s for $files files (all workers: not available)"
fi
if [[ -z $workers && -z $slowClose ]]; then
  echo "one worker vs all workers: not available (sfx decodes on one thread); slow close: --slow-close MS"
fi

if ((flushCost && useDisk)); then
  # The wall time of each run and the time inside its flush calls, as strace
  # reports them per call; the share is the flush's cost on this disk.
  place=${places[1]}
  for ((r = 0; r < rounds; r++)); do
    rm -rf "$place/out"
    mkdir "$place/out"
    sync
    python3 - "$tmpfs/flush.txt" "$tmpfs/setup" "$place/out" <<'PY'
import re, subprocess, sys, time
t0 = time.perf_counter()
subprocess.run(["strace", "-f", "--seccomp-bpf", "-T", "-e", "trace=fsync,fdatasync,syncfs,sync_file_range", "-o", sys.argv[1],
                sys.argv[2], "--unpack", sys.argv[3]], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
wall = time.perf_counter() - t0
calls = re.findall(r"<([0-9.]+)>", open(sys.argv[1]).read())
spent = sum(float(c) for c in calls)
print(f"flush cost, real disk: {wall:.2f} s in all, {spent:.2f} s ({100 * spent / wall:.0f}%) inside {len(calls)} flush calls")
PY
  done
  rm -rf "$place/out"
fi
