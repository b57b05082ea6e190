#!/usr/bin/env bash
# Times "datamover backup" on a Ceph cluster against the cluster's own tools, in one run:
#   full backup of a SIZE (2 GiB) image snapshot   vs rbd export of it to the same filesystem
#   incremental with 5 % of the 4 MiB objects changed vs rbd export-diff --from-snap
# The attach (rbd-fuse mount, snapshot clone, the plug-in's settle pause) is reported apart and
# taken off the datamover times ("open_seconds" of its JSON output).
# Starts a throw-away local cluster (scripts/ceph-cluster.sh) and stops it again.
# Usage: bench/ceph_backup.sh BUILD_DIR   (SIZE=2G and CHANGED_PERCENT=5 may be set)
source "$(dirname "$0")/common.bash"
tool=$(find_tool adapters rbd-tool)
[ -x "$dm" ] && [ -n "$tool" ] || { echo "ceph_backup: build datamover and rbd-tool (librbd-dev) in $build first" >&2; exit 1; }
command -v rbd >/dev/null || { echo "ceph_backup: the rbd command is missing (ceph-common)" >&2; exit 1; }

root=$(mktemp -d "${TMPDIR:-/tmp}/dm-cbench-XXXXXX")
export CEPH_CLUSTER_DIR=$root/cluster CEPH_POOL=pool0 CEPH_MON_PORT=${CEPH_MON_PORT:-6791}
cleanup() {
  "$tool" --root "$root" admin --pool pool0 teardown >/dev/null 2>&1 || true
  bash "$here/scripts/ceph-cluster.sh" stop >/dev/null 2>&1 || true
  rm -rf "$root"
}
trap cleanup EXIT
bash "$here/scripts/ceph-cluster.sh" start >/dev/null
conf=$CEPH_CLUSTER_DIR/ceph.conf
make_root "$root"
mkdir -p "$root/out"
ln -s "$tool" "$root/bin/rbd-tool"

T() { "$tool" --root "$root" admin --pool pool0 "$@"; }
DM() { "$dm" --root "$root" --json "$@"; }
RBD() { rbd -c "$conf" -p pool0 "$@"; }

T configure --conf "$conf" >/dev/null
T agent install >/dev/null
T agent start >/dev/null
bytes=$(python3 -c "
s='$size'; m={'K':1<<10,'M':1<<20,'G':1<<30,'T':1<<40}
print(int(s[:-1])*m[s[-1]] if s[-1] in m else int(s))")
T volume create bench-vol "$bytes" >/dev/null
T write bench-vol --offset 0 --length "$bytes" --random 1 >/dev/null
T snapshot create bench-vol snap-1 >/dev/null
uuid=1b4e28ba-2fa1-11d2-883f-0016d3cca427
url=strata://127.0.0.1/pool0

t0=$(now); RBD export --no-progress bench-vol@snap-1 "$root/out/full.img"; sync -f "$root/out/full.img"; t1=$(now)
export_s=$(calc "$t1 - $t0"); rm -f "$root/out/full.img"
full=$(DM backup --volume-id $uuid --snapshot-url $url/snap-1 --repo "$root/repo" --volume-size "$bytes")
full_s=$(echo "$full" | field seconds); full_open=$(calc "$(echo "$full" | field open_seconds)")
full_x=$(calc "$full_s - $full_open")

objects=$(( bytes / 4194304 ))
for c in $(python3 -c "import random; r=random.Random(7); print(' '.join(map(str, sorted(r.sample(range($objects), max(1, $objects * $percent // 100))))))"); do
  T write bench-vol --offset $(( c * 4194304 )) --length 4194304 --random $(( 100 + c )) >/dev/null
done
T snapshot create bench-vol snap-2 >/dev/null
t0=$(now); RBD export-diff --no-progress --from-snap snap-1 bench-vol@snap-2 "$root/out/diff"; sync -f "$root/out/diff"; t1=$(now)
diff_s=$(calc "$t1 - $t0")
inc=$(DM backup --volume-id $uuid --snapshot-url $url/snap-2 --parent-snapshot snap-1 --repo "$root/repo")
inc_s=$(echo "$inc" | field seconds); inc_open=$(calc "$(echo "$inc" | field open_seconds)")
inc_ranges=$(calc "$(echo "$inc" | field ranges_seconds)"); inc_read=$(echo "$inc" | field bytes_read)
inc_x=$(calc "$inc_s - $inc_open")
# The bitmap volume is attached too, with the plug-in's fixed 5 s settle, while the snapshot is
# being attached: the datamover reports the time it waited in settles ("settle_seconds",
# overlapping settles counted once), which is what a run without settles would save.
inc_settle=$(echo "$inc" | field settle_seconds)
inc_xx=$(calc "$inc_s - $inc_settle")

r_full=$(calc "$full_x / $export_s"); r_inc=$(calc "$inc_x / $diff_s"); r_inc2=$(calc "$inc_xx / $diff_s")
echo "ceph_backup: image $(( bytes >> 20 )) MiB, $percent % of $objects objects changed ($(( inc_read >> 20 )) MiB read by the incremental)"
printf '  %-34s %8s s\n' "rbd export (snapshot -> file)" "$export_s"
printf '  %-34s %8s s  attach %6s s apart  ratio to export      %5s (goal <= 1.25, %s)\n' "full backup" "$full_s" "$full_open" "$r_full" "$(goal "$r_full" 1.25)"
printf '  %-34s %8s s\n' "rbd export-diff --from-snap" "$diff_s"
printf '  %-34s %8s s  attach %6s s apart  ratio to export-diff %5s (goal <= 1.50, %s)\n' "incremental backup" "$inc_s" "$inc_open" "$r_inc" "$(goal "$r_inc" 1.5)"
printf '  %-34s changed extents %s s (bitmap built from the diff, attached with a 5 s settle, read; beside the attach)\n' "  of which" "$inc_ranges"
printf '  %-34s %8s s  ratio to export-diff %5s (settles waited %s s taken off)\n' "  without the settles" "$inc_xx" "$r_inc2" "$inc_settle"
