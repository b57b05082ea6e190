#!/usr/bin/env bash
# Times "datamover backup/restore" against dd on the same machine, in one run:
#   full backup of a 2 GiB volume     vs dd if=<snapshot backing file> of=<file in the repository>
#   incremental with 5 % of the 4 MiB chunks changed, vs the full backup
#   restore of the full backup        vs dd the other way
# both dd with bs=4M iflag=direct oflag=direct. The plug-in pauses a fixed 5 s
# after every new attach for the device node to settle; the "excl. settle"
# figures take off the wall time the datamover reports it spent waiting in
# settles ("settle_seconds": an incremental's bitmap settle and snapshot
# settle overlap, so that is less than 5 s per new attachment).
# The restore writes into a fresh (empty) volume, and dd into another fresh
# volume, so both write to an empty target. Dirty pages of the set-up (the
# simulator's writes and snapshot copies) are synced, and the volume files'
# cached pages dropped, before each timed step, so no step pays for the
# write-back or the eviction of the set-up's pages (quiesce in common.bash).
# Usage: bench/datamover_backup.sh BUILD_DIR   (SIZE=2G and CHANGED_PERCENT=5 may be set)
source "$(dirname "$0")/common.bash"
sim=$(find_tool sim strata-sim)
[ -x "$dm" ] && [ -n "$sim" ] || { echo "datamover_backup: build datamover and strata-sim in $build first" >&2; exit 1; }

root=$(mktemp -d "${TMPDIR:-/tmp}/dm-bench-XXXXXX")
cleanup() { "$sim" --root "$root" admin teardown >/dev/null 2>&1 || true; rm -rf "$root"; }
trap cleanup EXIT
make_root "$root"
mkdir -p "$root/dd"
ln -s "$sim" "$root/bin/strata-sim"
cp "$here/sim/scripts/qrmQBCTool.sh" "$root/qbctool/"
cp "$here/sim/scripts/security_sudo_qbc_cli.sh" "$root/bin/"
cp "$here/sim/scripts/reg_qs.sh" "$root/script/"

S() { "$sim" --root "$root" admin "$@"; }
DM() { "$dm" --root "$root" --json "$@"; }
# New attachments only: an attach of an attached volume answers at once, without a settle.
attaches() { S state | python3 -c "import json,sys; print(json.load(sys.stdin)['counters'].get('attach_new', 0))"; }

S agent install >/dev/null
S agent start >/dev/null
S volume create bench-vol "$size" >/dev/null
bytes=$(S volume list | python3 -c "import json,sys; print([v for v in json.load(sys.stdin) if v['name']=='bench-vol'][0]['size'])")
S write bench-vol --random 1 --length "$bytes" >/dev/null
S snapshot create bench-vol snap-1 >/dev/null
uuid=1b4e28ba-2fa1-11d2-883f-0016d3cca427
url=strata://127.0.0.1/pool0

quiesce "$root"
t0=$(now); dd if="$(S path snap-1)" of="$root/dd/full.img" bs=4M iflag=direct oflag=direct status=none; t1=$(now)
dd_full=$(calc "$t1 - $t0")

a0=$(attaches)
full=$(DM backup --volume-id $uuid --snapshot-url $url/snap-1 --repo "$root/repo" --volume-size "$bytes")
full_s=$(echo "$full" | field seconds)
full_att=$(( $(attaches) - a0 ))
full_settle=$(echo "$full" | field settle_seconds)
full_x=$(calc "$full_s - $full_settle")

# Change CHANGED_PERCENT % of the 4 MiB chunks, chosen at random (fixed seed).
chunks=$(( bytes / 4194304 ))
for c in $(python3 -c "import random; r=random.Random(7); print(' '.join(map(str, sorted(r.sample(range($chunks), max(1, $chunks * $percent // 100))))))"); do
  S write bench-vol --offset $(( c * 4194304 )) --random $(( 100 + c )) --length 4194304 >/dev/null
done
S snapshot create bench-vol snap-2 >/dev/null
quiesce "$root"
a0=$(attaches)
inc=$(DM backup --volume-id $uuid --snapshot-url $url/snap-2 --parent-snapshot snap-1 --repo "$root/repo")
inc_s=$(echo "$inc" | field seconds)
inc_read=$(echo "$inc" | field bytes_read)
inc_ranges=$(calc "$(echo "$inc" | field ranges_seconds)")
inc_data=$(calc "$(echo "$inc" | field read_seconds)")
inc_att=$(( $(attaches) - a0 ))
inc_settle=$(echo "$inc" | field settle_seconds)
inc_x=$(calc "$inc_s - $inc_settle")
steps() { python3 -c "import json,sys; d=json.loads(sys.stdin.readline()); print(', '.join('%s %.3f' % kv for kv in sorted(d['step_seconds'].items())))"; }
inc_steps=$(echo "$inc" | steps)
inc_open=$(calc "$(echo "$inc" | field open_seconds)")
inc_commit=$(calc "$(echo "$inc" | field commit_seconds)")

full_id=$(echo "$full" | field backup_id)
image=$(ls "$root"/repo/chains/*/backups/"$full_id"/volume.img)
S volume create bench-dd-target "$size" >/dev/null
S volume create bench-restore "$size" >/dev/null
quiesce "$root"
t0=$(now); dd if="$image" of="$(S path bench-dd-target)" bs=4M iflag=direct oflag=direct conv=notrunc status=none; t1=$(now)
dd_back=$(calc "$t1 - $t0")
quiesce "$root"
a0=$(attaches)
res=$(DM restore --repo "$root/repo" --backup "$full_id" --volume-url $url/bench-restore)
res_s=$(echo "$res" | field seconds)
res_att=$(( $(attaches) - a0 ))
res_settle=$(echo "$res" | field settle_seconds)
res_x=$(calc "$res_s - $res_settle")
res_open=$(calc "$(echo "$res" | field open_seconds) - $res_settle")
res_write=$(calc "$(echo "$res" | field write_seconds)")
res_checked=$(echo "$res" | field checked_before_writing)

r_full=$(calc "$full_x / $dd_full"); r_inc=$(calc "$inc_x / $full_x"); r_res=$(calc "$res_x / $dd_back")
echo "datamover_backup: volume $(( bytes >> 20 )) MiB, $percent % of $chunks chunks changed ($(( inc_read >> 20 )) MiB read by the incremental)"
printf '  %-34s %8s s\n' "dd copy (snapshot -> repository)" "$dd_full"
printf '  %-34s %8s s  excl. settle %6s s  ratio to dd   %5s (goal <= 1.30, %s)\n' "full backup" "$full_s" "$full_x" "$r_full" "$(goal "$r_full" 1.3)"
printf '  %-34s %8s s  excl. settle %6s s  ratio to full %5s (goal <= 0.15, %s)\n' "incremental backup" "$inc_s" "$inc_x" "$r_inc" "$(goal "$r_inc" 0.15)"
printf '  %-34s settles waited %s s (%s new attachments, overlapped); ranges %s s and snapshot attach %s s side by side; block reads %s s; commit %s s\n' "  of which" "$inc_settle" "$inc_att" "$inc_ranges" "$inc_open" "$inc_data" "$inc_commit"
printf '  %-34s %s\n' "  storage steps (s)" "$inc_steps"
printf '  %-34s %8s s\n' "dd copy (repository -> volume)" "$dd_back"
printf '  %-34s %8s s  excl. settle %6s s  ratio to dd   %5s (goal <= 1.00, %s)\n' "restore of the full backup" "$res_s" "$res_x" "$r_res" "$(goal "$r_res" 1.0)"
printf '  %-34s attach and target check %s s (settle excluded), writing %s s, read twice: %s\n' "  of which" "$res_open" "$res_write" "$res_checked"
