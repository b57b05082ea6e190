#!/usr/bin/env bash
# The two read engines of "datamover backup" on one full backup, in one run:
#   --io aio --depth 8  vs  --io threads --depth 8  vs  dd bs=4M iflag=direct oflag=direct
# of the same snapshot into the same file system. Each engine backs up into a
# repository of its own, twice, the order alternating; the figure is the best
# "read_seconds" (block reads and stores, no attach settle) of each.
# Usage: bench/datamover_read_engines.sh BUILD_DIR   (ENGINE_SIZE=1G may be set)
source "$(dirname "$0")/common.bash"
sim=$(find_tool sim strata-sim)
[ -x "$dm" ] && [ -n "$sim" ] || { echo "datamover_read_engines: build datamover and strata-sim in $build first" >&2; exit 1; }
size=${ENGINE_SIZE:-1G}

root=$(mktemp -d "${TMPDIR:-/tmp}/dm-engines-XXXXXX")
cleanup() { "$sim" --root "$root" admin teardown >/dev/null 2>&1 || true; rm -rf "$root"; }
trap cleanup EXIT
sim_root "$root" "$sim"

S() { "$sim" --root "$root" admin "$@"; }
S volume create engine-vol "$size" >/dev/null
bytes=$(S volume list | python3 -c "import json,sys; print([v for v in json.load(sys.stdin) if v['name']=='engine-vol'][0]['size'])")
S write engine-vol --random 1 --length "$bytes" >/dev/null
S snapshot create engine-vol snap-1 >/dev/null
url=strata://127.0.0.1/pool0

best() { python3 -c "import sys; print('%.2f' % min(float(x) for x in sys.argv[1:]))" "$@"; }
backup() {  # backup ENGINE ROUND: prints read_seconds
  local repo="$root/repo-$1-$2"
  "$dm" --root "$root" init --repo "$repo" --format 2 >/dev/null  # --io aio writes format 2's data file
  "$dm" --root "$root" --json backup --volume-id 1b4e28ba-2fa1-11d2-883f-0016d3cca42$2 --snapshot-url $url/snap-1 \
    --repo "$repo" --volume-size "$bytes" --io "$1" --depth 8 | field read_seconds
  rm -rf "$repo"
}
dd_times=(); aio=(); threads=()
for round in 1 2; do
  t0=$(now); dd if="$(S path snap-1)" of="$root/dd.img" bs=4M iflag=direct oflag=direct status=none; t1=$(now)
  dd_times+=("$(calc "$t1 - $t0")"); rm -f "$root/dd.img"
  if [ "$round" = 1 ]; then aio+=("$(backup aio $round)"); threads+=("$(backup threads $round)")
  else threads+=("$(backup threads $round)"); aio+=("$(backup aio $round)"); fi
done
b_dd=$(best "${dd_times[@]}"); b_aio=$(best "${aio[@]}"); b_thr=$(best "${threads[@]}")
echo "datamover_read_engines: full backup of $(( bytes >> 20 )) MiB, depth 8 (runs: aio ${aio[*]} s, threads ${threads[*]} s, dd ${dd_times[*]} s)"
printf '  %-40s %8s s\n' "dd copy (snapshot -> file)" "$b_dd"
printf '  %-40s %8s s  ratio to dd %5s\n' "--io threads --depth 8" "$b_thr" "$(calc "$b_thr / $b_dd")"
printf '  %-40s %8s s  ratio to dd %5s  ratio to threads %5s\n' "--io aio --depth 8" "$b_aio" "$(calc "$b_aio / $b_dd")" \
  "$(calc "$b_aio / $b_thr")"
