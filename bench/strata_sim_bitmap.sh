#!/usr/bin/env bash
# Bitmap creation in strata-sim against one read of the volume's backing file, same run.
# A 4 GiB volume (FILL_MIB of it written, default 1024), a snapshot, 5 % of its 1 MiB
# chunks changed, a second snapshot; then the bitmap between the two is created through
# qrmQBCTool.sh and polled once, as the plug-in does. The budget is 0.05 x the read.
# Usage: strata_sim_bitmap.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
sim="$build/sim/strata-sim/strata-sim"
[ -x "$sim" ] || { echo "strata-sim not built in $build" >&2; exit 1; }
SIZE_MIB=4096
FILL_MIB=${FILL_MIB:-1024}
CHANGE_PERCENT=5
RUNS=3

root=$(mktemp -d "${TMPDIR:-/tmp}/simbench.XXXXXX")
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/bin" "$root/qbctool" "$root/script" "$root/conf"
ln -s "$sim" "$root/bin/strata-sim"
cp "$here/../sim/scripts/qrmQBCTool.sh" "$root/qbctool/"
admin() { "$root/bin/strata-sim" --root "$root" admin "$@"; }
now_ns() { date +%s%N; }

admin volume create vol "${SIZE_MIB}M"
admin write vol --offset 0 --pattern 0x5a --length "${FILL_MIB}M"
admin snapshot create vol s1
backing=$(admin path vol)
chunks=$SIZE_MIB
changed=$((chunks * CHANGE_PERCENT / 100))
python3 - "$backing" "$chunks" "$changed" <<'PY'
import os, random, sys
path, chunks, changed = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rng = random.Random(42)
with open(path, "r+b") as f:
    for c in rng.sample(range(chunks), changed):
        f.seek(c * 1048576 + rng.randrange(0, 1048576 - 4096))
        f.write(os.urandom(4096))
PY
admin snapshot create vol s2

# Baseline: one read of the volume's backing file.
t0=$(now_ns)
dd if="$backing" of=/dev/null bs=4M status=none
t1=$(now_ns)
read_ns=$((t1 - t0))

best=0
total=0
for i in $(seq 1 $RUNS); do
  t0=$(now_ns)
  out=$("$root/qbctool/qrmQBCTool.sh" --op createBitmapVolume --staIp 127.0.0.1 --snapNameFrom s1 \
        --snapNameTo s2 --strataFloatIP 127.0.0.1 --volName "bm$i" --poolId pool0)
  "$root/qbctool/qrmQBCTool.sh" --op queryBitmapVolume --staIp 127.0.0.1 --strataFloatIP 127.0.0.1 \
        --volName "bm$i" --poolId pool0 | grep -q '^status=0$'
  t1=$(now_ns)
  grep -q '^ResultCode=0$' <<<"$out" || { echo "bitmap creation failed: $out" >&2; exit 1; }
  ns=$((t1 - t0))
  total=$((total + ns))
  if [ $best -eq 0 ] || [ $ns -lt $best ]; then best=$ns; fi
done
mean=$((total / RUNS))

# The bitmap must mark exactly the changed chunks.
marked=$(python3 - "$(admin path bm1)" "$chunks" <<'PY'
import sys
data = open(sys.argv[1], "rb").read()
n = int(sys.argv[2])
print(sum((data[i // 8] >> (i % 8)) & 1 for i in range(n)))
PY
)
[ "$marked" -eq "$changed" ] || { echo "bitmap marks $marked chunks, expected $changed" >&2; exit 1; }

ratio=$(awk -v b="$mean" -v r="$read_ns" 'BEGIN { printf "%.4f", b / r }')
printf 'volume %d MiB (%d MiB written), %d of %d chunks changed\n' "$SIZE_MIB" "$FILL_MIB" "$changed" "$chunks"
printf 'read backing file once:   %8.1f ms\n' "$(awk -v n="$read_ns" 'BEGIN { print n / 1e6 }')"
printf 'bitmap create+query mean: %8.1f ms (best %.1f ms, %d runs)\n' \
  "$(awk -v n="$mean" 'BEGIN { print n / 1e6 }')" "$(awk -v n="$best" 'BEGIN { print n / 1e6 }')" "$RUNS"
printf 'ratio bitmap/read:        %8s (budget 0.05)\n' "$ratio"
awk -v r="$ratio" 'BEGIN { exit !(r <= 0.05) }' || { echo "over budget" >&2; exit 1; }
