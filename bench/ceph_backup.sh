#!/usr/bin/env bash
# Times the data mover on a Ceph cluster against the cluster's own tools, in one run:
#   full backup of a SIZE (2 GiB) image snapshot      vs rbd export of it to the same filesystem
#   incremental with 5 % of the 4 MiB objects changed vs rbd export-diff --from-snap
#   restore of the full backup into a fresh image     vs rbd import of the exported file
#   the restored image's `rbd du`                     vs the source snapshot's
# Each datamover time is given as measured and with the plug-in's fixed attach settles taken off
# ("settle_seconds" of its JSON output: the wall time spent waiting in them).
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
export_s=$(calc "$t1 - $t0")
DM init --repo "$root/repo" --format 2 >/dev/null  # the figures kept so far are of format 2
full=$(DM backup --volume-id $uuid --snapshot-url $url/snap-1 --repo "$root/repo" --volume-size "$bytes")
full_s=$(echo "$full" | field seconds); full_settle=$(echo "$full" | field settle_seconds)
full_x=$(calc "$full_s - $full_settle"); full_id=$(echo "$full" | field backup_id)

# Restore of the full backup into a fresh image vs rbd import of the same bytes into another.
T volume create bench-restore "$bytes" >/dev/null
rest=$(DM restore --repo "$root/repo" --backup "$full_id" --volume-url $url/bench-restore)
rest_s=$(echo "$rest" | field seconds); rest_settle=$(echo "$rest" | field settle_seconds)
rest_x=$(calc "$rest_s - $rest_settle")
t0=$(now); RBD import --no-progress "$root/out/full.img" bench-import; t1=$(now)
import_s=$(calc "$t1 - $t0"); rm -f "$root/out/full.img"
# USED of `rbd du NAME`, in MiB (its lines: NAME PROVISIONED UNIT USED UNIT).
du_mib() { RBD du "$1" | awk -v n="$1" '$1 == n { print $4, $5 }' | python3 -c "
import sys; v, u = sys.stdin.read().split(); print('%.0f' % (float(v) * {'B': 2**-20, 'KiB': 2**-10, 'MiB': 1, 'GiB': 1024, 'TiB': 1 << 20}[u]))"; }
src_du=$(du_mib bench-vol@snap-1)
rest_du=$(du_mib bench-restore)
RBD rm --no-progress bench-import >/dev/null 2>&1 || true

objects=$(( bytes / 4194304 ))
for c in $(python3 -c "import random; r=random.Random(7); print(' '.join(map(str, sorted(r.sample(range($objects), max(1, $objects * $percent // 100))))))"); do
  T write bench-vol --offset $(( c * 4194304 )) --length 4194304 --random $(( 100 + c )) >/dev/null
done
T snapshot create bench-vol snap-2 >/dev/null
t0=$(now); RBD export-diff --no-progress --from-snap snap-1 bench-vol@snap-2 "$root/out/diff"; sync -f "$root/out/diff"; t1=$(now)
diff_s=$(calc "$t1 - $t0"); diff_mib=$(( $(stat -c %s "$root/out/diff") >> 20 ))
inc=$(DM backup --volume-id $uuid --snapshot-url $url/snap-2 --parent-snapshot snap-1 --repo "$root/repo")
inc_s=$(echo "$inc" | field seconds); inc_settle=$(echo "$inc" | field settle_seconds)
inc_read=$(echo "$inc" | field bytes_read); inc_x=$(calc "$inc_s - $inc_settle")

r_full=$(calc "$full_x / $export_s"); r_full2=$(calc "$full_s / $export_s")
r_inc=$(calc "$inc_x / $diff_s"); r_inc2=$(calc "$inc_s / $diff_s")
r_rest=$(calc "$rest_x / $import_s"); r_rest2=$(calc "$rest_s / $import_s")
r_read=$(calc "$inc_read / ($diff_mib * 1048576.0)")
echo "ceph_backup: image $(( bytes >> 20 )) MiB, $percent % of $objects objects changed; snapshots exposed by $(grep -q '^snapshot_exposure *= *rbd-fuse' "$root/conf/rbd.conf" && echo rbd-fuse || echo qemu-storage-daemon)"
printf '  %-30s %7s s\n' "rbd export (snapshot -> file)" "$export_s"
printf '  %-30s %7s s  settles %5s s  ratio %5s without settles (goal <= 1.0, %s), %5s with (goal <= 1.5, %s)\n' \
  "full backup" "$full_s" "$full_settle" "$r_full" "$(goal "$r_full" 1.0)" "$r_full2" "$(goal "$r_full2" 1.5)"
printf '  %-30s %7s s  (%s MiB listed)\n' "rbd export-diff --from-snap" "$diff_s" "$diff_mib"
printf '  %-30s %7s s  settles %5s s  ratio %5s without settles (goal <= 1.5, %s), %5s with\n' \
  "incremental backup" "$inc_s" "$inc_settle" "$r_inc" "$(goal "$r_inc" 1.5)" "$r_inc2"
printf '  %-30s %7s MiB  ratio to the diff %5s (goal <= 1.3, %s)\n' "  read by the incremental" "$(( inc_read >> 20 ))" "$r_read" "$(goal "$r_read" 1.3)"
printf '  %-30s %7s s\n' "rbd import (file -> image)" "$import_s"
printf '  %-30s %7s s  settles %5s s  ratio %5s without settles (goal <= 1.2, %s), %5s with\n' \
  "restore into a fresh image" "$rest_s" "$rest_settle" "$r_rest" "$(goal "$r_rest" 1.2)" "$r_rest2"
printf '  %-30s %7s MiB  source snapshot %s MiB (goal <= source + 4, %s)\n' "rbd du of the restored image" "$rest_du" "$src_du" \
  "$(python3 -c "print('ok' if $rest_du <= $src_du + 4 else 'MISSED')")"
