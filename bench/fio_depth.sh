#!/usr/bin/env bash
# How much this machine's disk itself gains from reads in flight, measured with fio
# (the reference the asynchronous read engine is judged against): 4 MiB O_DIRECT
# libaio reads of a 1 GiB file at depth 1, 8 and 16, in rounds that alternate the
# depths; each figure is the median of the rounds. The AioReadBlocks figure of
# bench_device_file_bench cannot beat the device's own ratio at depth 8.
# Usage: bench/fio_depth.sh [BUILD_DIR]   (FIO_ROUNDS=5 may be set; the build is not used)
set -euo pipefail
rounds=${FIO_ROUNDS:-5}
if ! command -v fio >/dev/null; then
  echo "fio_depth: fio is not installed (scripts/bootstrap.sh installs it); skipped"
  exit 0
fi
dir=$(mktemp -d "${TMPDIR:-/tmp}/dm-fio-XXXXXX")
trap 'rm -rf "$dir"' EXIT
file=$dir/data
common=(--filename="$file" --size=1G --bs=4M --direct=1 --ioengine=libaio --output-format=json)
fio --name=prepare "${common[@]}" --rw=write --iodepth=8 >/dev/null

mibs() {  # mibs DEPTH: read bandwidth in MiB/s of two passes over the file
  fio --name=read "${common[@]}" --rw=read --iodepth="$1" --loops=2 |
    python3 -c "import json,sys; print('%.0f' % (json.load(sys.stdin)['jobs'][0]['read']['bw_bytes'] / 1048576))"
}
d1=(); d8=(); d16=()
for ((r = 0; r < rounds; r++)); do
  if ((r % 2 == 0)); then d1+=("$(mibs 1)"); d8+=("$(mibs 8)"); d16+=("$(mibs 16)")
  else d16+=("$(mibs 16)"); d8+=("$(mibs 8)"); d1+=("$(mibs 1)"); fi
done
median() { python3 -c "import statistics,sys; print('%.0f' % statistics.median(float(x) for x in sys.argv[1:]))" "$@"; }
m1=$(median "${d1[@]}"); m8=$(median "${d8[@]}"); m16=$(median "${d16[@]}")
ratio() { python3 -c "print('%.2f' % ($1 / $2))"; }
echo "fio_depth: 4 MiB O_DIRECT libaio reads of 1 GiB, $rounds rounds (MiB/s: depth 1 ${d1[*]}; 8 ${d8[*]}; 16 ${d16[*]})"
printf '  %-40s %6s MiB/s\n' "depth 1" "$m1"
printf '  %-40s %6s MiB/s  ratio to depth 1 %5s\n' "depth 8" "$m8" "$(ratio "$m8" "$m1")"
printf '  %-40s %6s MiB/s  ratio to depth 1 %5s\n' "depth 16" "$m16" "$(ratio "$m16" "$m1")"
echo "  (the device's own gain from depth: the ceiling of the AioReadBlocks 8-in-flight ratio, goal 1.3)"
