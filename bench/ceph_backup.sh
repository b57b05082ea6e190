#!/usr/bin/env bash
# Times the data mover on a Ceph cluster against the cluster's own tools, in one run:
#   full backup of a SIZE (2 GiB) image snapshot      vs rbd export of it to the same filesystem
#   incremental with 5 % of the 4 MiB objects changed vs rbd export-diff --from-snap, and the bytes
#                                                        it read vs the bytes the diff lists
#   full backup of a 100 GiB thin image, 16 MiB written (and rbd diff's listing of it)
#   restore of the full backups into fresh images     vs rbd import of the exported file, rbd du
# Each figure is printed as soon as it is measured, with its inputs. Each datamover time is given
# as measured and with the plug-in's fixed attach settles taken off ("settle_seconds" of its JSON
# output: the wall time spent waiting in them), and split into its phases where it reports them.
# Every step is bounded by `timeout` (STEP_TIMEOUT seconds, default 600); one that runs out is named
# and ends the run. Starts a throw-away local cluster (scripts/ceph-cluster.sh) and stops it again.
# Usage: bench/ceph_backup.sh BUILD_DIR   (SIZE=2G, CHANGED_PERCENT=5, THIN_SIZE=100G may be set)
source "$(dirname "$0")/common.bash"
tool=$(find_tool adapters rbd-tool)
[ -x "$dm" ] && [ -n "$tool" ] || { echo "ceph_backup: build datamover and rbd-tool (librbd-dev) in $build first" >&2; exit 1; }
command -v rbd >/dev/null || { echo "ceph_backup: the rbd command is missing (ceph-common)" >&2; exit 1; }
step_timeout=${STEP_TIMEOUT:-600}
thin_size=${THIN_SIZE:-100G}

root=$(mktemp -d "${TMPDIR:-/tmp}/dm-cbench-XXXXXX")
# The OSD's sparse file holds the image, its restore, the import and the thin image's data.
export CEPH_CLUSTER_DIR=$root/cluster CEPH_POOL=pool0 CEPH_OSD_BYTES=${CEPH_OSD_BYTES:-17179869184}
cleanup() {
  timeout 300 "$tool" --root "$root" admin --pool pool0 teardown >/dev/null 2>&1 || echo "ceph_backup: teardown failed or timed out" >&2
  timeout 120 bash "$here/scripts/ceph-cluster.sh" stop >/dev/null 2>&1 || true
  rm -rf "$root"
}
trap cleanup EXIT

# S NAME CMD...: runs one step under `timeout`, its standard output kept in $out. A step that
# fails or runs out of time is named, with what it printed, and the run ends.
out=
S() {
  local name=$1; shift
  local rc=0
  out=$(timeout --kill-after=10 "$step_timeout" "$@" 2>"$root/step.err") || rc=$?
  if [ "$rc" = 124 ] || [ "$rc" = 137 ]; then
    echo "ceph_backup: step '$name' timed out after $step_timeout s: $*" >&2; exit 1
  elif [ "$rc" != 0 ]; then
    echo "ceph_backup: step '$name' failed (exit $rc): $*" >&2
    echo "$out" | head -5 >&2; head -5 "$root/step.err" >&2; exit 1
  fi
}
# T NAME CMD...: S, and the step's wall time in $secs.
secs=
T() { local t0; t0=$(now); S "$@"; secs=$(calc "$(now) - $t0"); }

S "cluster start" bash "$here/scripts/ceph-cluster.sh" start
conf=$CEPH_CLUSTER_DIR/ceph.conf
make_root "$root"
mkdir -p "$root/out"
ln -s "$tool" "$root/bin/rbd-tool"

# Commands, not functions, so that `timeout` can run them.
tool_=("$tool" --root "$root" admin --pool pool0)
DM=("$dm" --root "$root" --json)
RBD=(rbd -c "$conf" -p pool0)
to_bytes() { python3 -c "
s='$1'; m={'K':1<<10,'M':1<<20,'G':1<<30,'T':1<<40}
print(int(s[:-1])*m[s[-1]] if s[-1] in m else int(s))"; }
j() { echo "$out" | field "$1"; }
# The phases a datamover JSON answer reports, on one line.
phases() { echo "$out" | python3 -c "
import json, sys
o = json.loads(sys.stdin.readline())
keys = ['settle_seconds', 'open_seconds', 'ranges_seconds', 'read_seconds', 'write_seconds', 'commit_seconds']
print(' '.join('%s=%.2f' % (k.replace('_seconds', ''), o[k]) for k in keys if k in o),
      ' steps:', ' '.join('%s=%.2f' % kv for kv in sorted(o.get('step_seconds', {}).items())))"; }
# USED of `rbd du NAME`, in MiB (its lines: NAME PROVISIONED UNIT USED UNIT).
du_mib() { timeout 120 rbd -c "$conf" -p pool0 du "$1" | awk -v n="$1" '$1 == n { print $4, $5 }' | python3 -c "
import sys; v, u = sys.stdin.read().split(); print('%.0f' % (float(v) * {'B': 2**-20, 'KiB': 2**-10, 'MiB': 1, 'GiB': 1024, 'TiB': 1 << 20}[u]))"; }

S configure "${tool_[@]}" configure --conf "$conf"
S "agent install" "${tool_[@]}" agent install
S "agent start" "${tool_[@]}" agent start
bytes=$(to_bytes "$size")
uuid=1b4e28ba-2fa1-11d2-883f-0016d3cca427
url=strata://127.0.0.1/pool0
echo "ceph_backup: image $(( bytes >> 20 )) MiB; snapshots exposed by $(grep -q '^snapshot_exposure *= *rbd-fuse' "$root/conf/rbd.conf" && echo rbd-fuse || echo qemu-storage-daemon), images by rbd-fuse (writeback cache); step timeout $step_timeout s"
S "create image" "${tool_[@]}" volume create bench-vol "$bytes"
S "fill image" "${tool_[@]}" write bench-vol --offset 0 --length "$bytes" --random 1
S "snapshot 1" "${tool_[@]}" snapshot create bench-vol snap-1

# --- full backup vs rbd export
T "rbd export" bash -c "rbd -c '$conf' -p pool0 export --no-progress bench-vol@snap-1 '$root/out/full.img' && sync -f '$root/out/full.img'"
export_s=$secs
printf '  %-34s %7s s   (bench-vol@snap-1, %s MiB, to a file, synced)\n' "rbd export" "$export_s" $(( bytes >> 20 ))
# The figures kept so far are of format 2 (the storage path is what is measured here).
S "init" "${DM[@]}" init --repo "$root/repo" --format 2
T "full backup" "${DM[@]}" backup --volume-id $uuid --snapshot-url $url/snap-1 --repo "$root/repo" --volume-size "$bytes"
full_s=$(j seconds); full_settle=$(j settle_seconds); full_id=$(j backup_id)
full_x=$(calc "$full_s - $full_settle")
r_full=$(calc "$full_x / $export_s"); r_full2=$(calc "$full_s / $export_s")
printf '  %-34s %7s s   settles %s s; ratio to rbd export %s without settles (goal <= 1.0, %s), %s with (goal <= 1.5, %s)\n' \
  "full backup" "$full_s" "$full_settle" "$r_full" "$(goal "$r_full" 1.0)" "$r_full2" "$(goal "$r_full2" 1.5)"
printf '  %-34s %s MiB read; %s\n' "" $(( $(j bytes_read) >> 20 )) "$(phases)"

# --- restore of the full backup into a fresh image vs rbd import of the same bytes
S "create restore target" "${tool_[@]}" volume create bench-restore "$bytes"
T "restore" "${DM[@]}" restore --repo "$root/repo" --backup "$full_id" --volume-url $url/bench-restore
rest_s=$(j seconds); rest_settle=$(j settle_seconds); rest_x=$(calc "$rest_s - $rest_settle")
rest_phases=$(phases); rest_skipped=$(j zero_blocks_skipped); rest_checked=$(j checked_before_writing)
T "rbd import" "${RBD[@]}" import --no-progress "$root/out/full.img" bench-import
import_s=$secs
printf '  %-34s %7s s   (%s MiB file -> new image bench-import)\n' "rbd import" "$import_s" $(( bytes >> 20 ))
r_rest=$(calc "$rest_x / $import_s"); r_rest2=$(calc "$rest_s / $import_s")
printf '  %-34s %7s s   settles %s s; ratio to rbd import %s without settles (goal <= 1.2, %s), %s with\n' \
  "restore into a fresh image" "$rest_s" "$rest_settle" "$r_rest" "$(goal "$r_rest" 1.2)" "$r_rest2"
printf '  %-34s %s zero blocks skipped, target read before writing: %s; %s\n' "" "$rest_skipped" "$rest_checked" "$rest_phases"
# Compared once detach has answered: the bytes must be on the cluster by then.
# Compared once detach has answered: the bytes must be on the cluster by then. The first 4 KiB
# are the storage's own header, outside the backed-up data area.
T "compare restore" bash -c "rbd -c '$conf' -p pool0 export --no-progress bench-restore - | cmp -i 4096 - '$root/out/full.img'"
printf '  %-34s %7s s   rbd export of bench-restore equals the source past its 4 KiB header: yes\n' "compare" "$secs"
# Where a restore's time goes: the repository side alone (into a local sparse file).
T "restore to a file" "${DM[@]}" restore --repo "$root/repo" --backup "$full_id" --to-file "$root/out/restored.img"
printf '  %-34s %7s s   (the repository side alone: read, check, decrypt, decompress; write=%s)\n' "restore into a local file" \
  "$(j seconds)" "$(j write_seconds)"
rm -f "$root/out/restored.img"
rm -f "$root/out/full.img"
src_du=$(du_mib bench-vol@snap-1)
rest_du=$(du_mib bench-restore)
printf '  %-34s %7s MiB source snapshot %s MiB (goal <= source + 4, %s)\n' "rbd du of the restored image" "$rest_du" "$src_du" \
  "$(python3 -c "print('ok' if $rest_du <= $src_du + 4 else 'MISSED')")"
S "rm import" "${RBD[@]}" rm --no-progress bench-import
S "rm restore" "${tool_[@]}" volume delete bench-restore

# --- incremental with CHANGED_PERCENT % of the objects rewritten vs rbd export-diff
objects=$(( bytes / 4194304 ))
changed=$(python3 -c "import random; r=random.Random(7); print(' '.join(map(str, sorted(r.sample(range($objects), max(1, $objects * $percent // 100))))))")
for c in $changed; do
  S "change object $c" "${tool_[@]}" write bench-vol --offset $(( c * 4194304 )) --length 4194304 --random $(( 100 + c ))
done
S "snapshot 2" "${tool_[@]}" snapshot create bench-vol snap-2
T "rbd export-diff" bash -c "rbd -c '$conf' -p pool0 export-diff --no-progress --from-snap snap-1 bench-vol@snap-2 '$root/out/diff' && sync -f '$root/out/diff'"
diff_s=$secs; diff_bytes=$(stat -c %s "$root/out/diff")
S "rbd diff" bash -c "rbd -c '$conf' -p pool0 diff --from-snap snap-1 bench-vol@snap-2 --format json"
listed=$(echo "$out" | python3 -c "import json,sys; print(sum(e['length'] for e in json.load(sys.stdin)))")
printf '  %-34s %7s s   (%s of %s objects rewritten; the diff lists %s MiB, its file %s MiB)\n' "rbd export-diff --from-snap" "$diff_s" \
  "$(echo $changed | wc -w)" "$objects" $(( listed >> 20 )) $(( diff_bytes >> 20 ))
T "incremental backup" "${DM[@]}" backup --volume-id $uuid --snapshot-url $url/snap-2 --parent-snapshot snap-1 --repo "$root/repo"
inc_s=$(j seconds); inc_settle=$(j settle_seconds); inc_read=$(j bytes_read); inc_x=$(calc "$inc_s - $inc_settle")
r_inc=$(calc "$inc_x / $diff_s"); r_inc2=$(calc "$inc_s / $diff_s")
printf '  %-34s %7s s   settles %s s; ratio to rbd export-diff %s without settles (goal <= 1.5, %s), %s with\n' \
  "incremental backup" "$inc_s" "$inc_settle" "$r_inc" "$(goal "$r_inc" 1.5)" "$r_inc2"
r_read=$(calc "$inc_read / $listed")
printf '  %-34s %s MiB read, %s MiB listed by the diff: ratio %s (goal <= 1.3, %s); %s\n' "" $(( inc_read >> 20 )) \
  $(( listed >> 20 )) "$r_read" "$(goal "$r_read" 1.3)" "$(phases)"

# --- a thin image: THIN_SIZE provisioned, 16 MiB written in two places
thin=$(to_bytes "$thin_size")
S "create thin image" "${tool_[@]}" volume create bench-thin "$thin"
S "write thin image" "${tool_[@]}" write bench-thin --offset $(( 1 << 30 )) --length $(( 8 << 20 )) --random 3
S "write thin image" "${tool_[@]}" write bench-thin --offset $(( thin / 2 )) --length $(( 8 << 20 )) --random 4
S "snapshot thin" "${tool_[@]}" snapshot create bench-thin thin-1
T "rbd diff thin" "${RBD[@]}" diff bench-thin@thin-1
printf '  %-34s %7s s   (%s GiB image, %s extents listed)\n' "rbd diff of the thin snapshot" "$secs" $(( thin >> 30 )) "$(echo "$out" | grep -c data)"
T "thin full backup" "${DM[@]}" backup --volume-id 2c5ea4c0-4067-11e9-8bad-9b1deb4d3b7d --snapshot-url $url/thin-1 --repo "$root/repo" --volume-size "$thin"
thin_s=$(j seconds); thin_settle=$(j settle_seconds); thin_x=$(calc "$thin_s - $thin_settle")
printf '  %-34s %7s s   settles %s s; %s s without them (goal <= 10, %s); %s MiB read; %s\n' "full backup of the thin image" \
  "$thin_s" "$thin_settle" "$thin_x" "$(goal "$thin_x" 10)" $(( $(j bytes_read) >> 20 )) "$(phases)"
thin_id=$(j backup_id)
S "create thin restore target" "${tool_[@]}" volume create bench-thin-restore "$thin"
T "thin restore" "${DM[@]}" restore --repo "$root/repo" --backup "$thin_id" --volume-url $url/bench-thin-restore
thin_rest_s=$(j seconds)
thin_src_du=$(du_mib bench-thin@thin-1)
thin_rest_du=$(du_mib bench-thin-restore)
printf '  %-34s %7s s   rbd du %s MiB, source snapshot %s MiB (goal <= source + 4, %s); %s\n' "restore of the thin backup" \
  "$thin_rest_s" "$thin_rest_du" "$thin_src_du" "$(python3 -c "print('ok' if $thin_rest_du <= $thin_src_du + 4 else 'MISSED')")" "$(phases)"
echo "ceph_backup: done"
