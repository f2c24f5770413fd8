#!/usr/bin/env bash
# Extraction benchmark: the same ~200 MB payload unpacked by sfx --unpack
# (an installer built with mksfx) and by unzip, 7-Zip and bsdtar, in one
# run. Prints seconds, MB/s of output and each tool's time relative to sfx.
# With BENCH_UPDATE=1 it also times an auto-update over an unpacked copy,
# with the journal kept in memory only (no install directory given, no lock)
# and with the journal on disk inside the lock ("-d"), which is flushed
# before every previous version is moved aside: the difference is the cost
# of crash safety.
# Usage: [BENCH_UPDATE=1] tools/bench/bench-extract.sh [MEGABYTES] [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
mb=${1:-200}
build=${2:-$here/build/native}
work=$(mktemp -d /tmp/sfx-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

python3 "$here/tools/bench/make-payload.py" "$work/payload.zip" "$mb" >/dev/null
"$build/tools/mksfx" --stub "$build/sfx" --zip "$work/payload.zip" -o "$work/setup" >/dev/null
bytes=$(python3 -c "import zipfile,sys; print(sum(i.file_size for i in zipfile.ZipFile(sys.argv[1]).infolist()))" "$work/payload.zip")
sevenzip=$(command -v 7z || command -v 7zz)

run() {  # name, command...
  local name=$1; shift
  rm -rf "$work/out"; mkdir "$work/out"
  sync
  local t0 t1
  t0=$(date +%s.%N)
  "$@" >/dev/null 2>&1
  t1=$(date +%s.%N)
  python3 - "$name" "$t0" "$t1" "$bytes" <<'PY'
import sys
name, t0, t1, size = sys.argv[1], float(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4])
print(f"{name}\t{t1 - t0:.2f}")
PY
}

{
  run sfx "$work/setup" --unpack "$work/out"
  run unzip unzip -q "$work/payload.zip" -d "$work/out"
  run 7z "$sevenzip" x -y -bd "-o$work/out" "$work/payload.zip"
  run bsdtar bsdtar -xf "$work/payload.zip" -C "$work/out"
  if [ "${BENCH_UPDATE:-0}" = 1 ]; then
    update() {  # name, extra arguments...
      local name=$1; shift
      rm -rf "$work/inst"; mkdir "$work/inst"
      unzip -q "$work/payload.zip" -d "$work/inst"
      sync
      local t0 t1
      t0=$(date +%s.%N)
      (cd "$work/inst" && "$work/setup" --auto-update "$@" >/dev/null 2>&1)
      t1=$(date +%s.%N)
      printf '%s\t%s\n' "$name" "$(python3 -c "print(f'{$t1 - $t0:.2f}')")"
    }
    update upd-mem
    update upd-disk -d "$work/inst"
  fi
} > "$work/times.tsv"

python3 - "$work/times.tsv" "$bytes" <<'PY'
import sys
rows = [l.split("\t") for l in open(sys.argv[1]).read().split("\n") if l]
size = int(sys.argv[2])
base = float(rows[0][1])
print(f"payload: {size / 1e6:.0f} MB of member data")
print(f"{'tool':8} {'seconds':>8} {'MB/s':>8} {'time / sfx':>11}")
for name, secs in rows:
    s = float(secs)
    print(f"{name:8} {s:8.2f} {size / 1e6 / s:8.0f} {s / base:11.2f}")
PY
