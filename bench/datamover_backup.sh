#!/usr/bin/env bash
# Times "datamover backup/restore" on an encrypted (repokey), compressed
# format-3 repository against dd on the same machine, in one run:
#   full backup of a volume of incompressible data   vs dd of its snapshot into the repository's filesystem
#   full backup of a volume of half-compressible data vs the same dd; the repository's size after it
#   a second volume cloned from the first, backed up: the bytes it adds to the repository
#   incremental with CHANGED_PERCENT % of the 4 MiB chunks changed, vs the full backup
#   restore of the incremental's point into a fresh volume vs dd of the volume into another fresh one
#   peak memory (maximum resident set) of a backup and a restore of a 1 TiB sparse volume
# dd runs with bs=4M iflag=direct oflag=direct. The plug-in pauses a fixed 5 s
# after every new attach for the device node to settle; the "excl. settle"
# figures take off the wall time the datamover reports it spent waiting in
# settles ("settle_seconds"). Dirty pages of the set-up are synced, and the
# volume files' cached pages dropped, before each timed step (quiesce in common.bash).
# Usage: bench/datamover_backup.sh BUILD_DIR   (SIZE=2G, CHANGED_PERCENT=5, SPARSE_SIZE=1T may be set)
source "$(dirname "$0")/common.bash"
sim=$(find_tool sim strata-sim)
[ -x "$dm" ] && [ -n "$sim" ] || { echo "datamover_backup: build datamover and strata-sim in $build first" >&2; exit 1; }
sparse_size=${SPARSE_SIZE:-1T}

root=$(mktemp -d "${TMPDIR:-/tmp}/dm-bench-XXXXXX")
cleanup() { "$sim" --root "$root" admin teardown >/dev/null 2>&1 || true; rm -rf "$root"; }
trap cleanup EXIT
sim_root "$root" "$sim"
mkdir -p "$root/dd"
umask 077
printf '%s\n' 'a bench passphrase, long enough' > "$root/pass"
export DATAMOVER_PASSWORD_FILE=$root/pass

S() { "$sim" --root "$root" admin "$@"; }
DM() { "$dm" --root "$root" --json "$@"; }
# The command's standard output; its peak resident set (KiB) into $root/rss.
peak() { /usr/bin/time -f %M -o "$root/rss" "$@"; }
uuid=1b4e28ba-2fa1-11d2-883f-0016d3cca427
uuid2=2c5f39cb-3fb2-12e3-994f-1127e4ddb538
uuid3=3d6a4adc-4ac3-13f4-aa50-2238f5eec649
url=strata://127.0.0.1/pool0
du_bytes() { du -sb "$1" | cut -f1; }


# ddcopy SNAPSHOT: seconds dd takes to copy the snapshot's backing file into the repository's filesystem.
ddcopy() {
  quiesce "$root"
  local t0 t1; t0=$(now)
  dd if="$(S path "$1")" of="$root/dd/copy.img" bs=4M iflag=direct oflag=direct status=none
  t1=$(now); rm -f "$root/dd/copy.img"; calc "$t1 - $t0"
}
# backup REPO VOLUME-ID SNAPSHOT [PARENT]: the backup's JSON line.
backup() {
  quiesce "$root"
  local extra=()
  [ -n "${4:-}" ] && extra=(--parent-snapshot "$4") || extra=(--volume-size "$bytes")
  DM backup --volume-id "$2" --snapshot-url "$url/$3" --repo "$1" "${extra[@]}"
}
excl() { calc "$(echo "$1" | field seconds) - $(echo "$1" | field settle_seconds)"; }

# Incompressible data.
S volume create rand-vol "$size" >/dev/null
bytes=$(S volume list | python3 -c "import json,sys; print([v for v in json.load(sys.stdin) if v['name']=='rand-vol'][0]['size'])")
S write rand-vol --random 1 --length "$bytes" >/dev/null
S snapshot create rand-vol r1 >/dev/null
dd_rand=$(ddcopy r1)
DM init --repo "$root/repo-rand" --encryption repokey >/dev/null
rand=$(backup "$root/repo-rand" $uuid r1)
rand_x=$(excl "$rand")
S snapshot delete r1 >/dev/null; S volume delete rand-vol >/dev/null; rm -rf "$root/repo-rand"

# Half-compressible data: every 64 KiB, 32 KiB of random bytes and 32 KiB of repeated text.
python3 - "$root/half.img" "$bytes" <<'PY'
import os, sys
path, size = sys.argv[1], int(sys.argv[2])
text = (b"the quick brown fox jumps over the lazy dog 0123456789 " * 700)[:32768]
with open(path, "wb") as f:
    for _ in range(size // 65536):
        f.write(os.urandom(32768) + text)
PY
S volume create half-vol "$size" >/dev/null
S write half-vol --file "$root/half.img" >/dev/null
S snapshot create half-vol h1 >/dev/null
dd_half=$(ddcopy h1)
DM init --repo "$root/repo" --encryption repokey >/dev/null
half=$(backup "$root/repo" $uuid h1)
half_x=$(excl "$half")
repo_after_full=$(du_bytes "$root/repo")

# A second volume cloned from the first.
S volume create clone-vol "$size" >/dev/null
S write clone-vol --file "$(S path h1)" >/dev/null
S snapshot create clone-vol c1 >/dev/null
rm -f "$root/half.img"
clone=$(backup "$root/repo" $uuid2 c1)
repo_after_clone=$(du_bytes "$root/repo")
S snapshot delete c1 >/dev/null; S volume delete clone-vol >/dev/null

# CHANGED_PERCENT % of the 4 MiB chunks changed, chosen at random (fixed seed).
chunks=$(( bytes / 4194304 ))
for c in $(python3 -c "import random; r=random.Random(7); print(' '.join(map(str, sorted(r.sample(range($chunks), max(1, $chunks * $percent // 100))))))"); do
  S write half-vol --offset $(( c * 4194304 )) --random $(( 100 + c )) --length 4194304 >/dev/null
done
S snapshot create half-vol h2 >/dev/null
inc=$(backup "$root/repo" $uuid h2 h1)
inc_x=$(excl "$inc")
inc_read=$(echo "$inc" | field bytes_read)

# Restore of the incremental's point vs dd of the same bytes into a fresh volume.
inc_id=$(echo "$inc" | field backup_id)
S volume create dd-target "$size" >/dev/null
S volume create restored "$size" >/dev/null
quiesce "$root"
t0=$(now); dd if="$(S path h2)" of="$(S path dd-target)" bs=4M iflag=direct oflag=direct conv=notrunc status=none; t1=$(now)
dd_back=$(calc "$t1 - $t0")
quiesce "$root"
res=$(DM restore --repo "$root/repo" --backup "$inc_id" --volume-url $url/restored)
res_x=$(excl "$res")
cmp <(tail -c +4097 "$(S path h2)") <(tail -c +4097 "$(S path restored)") >/dev/null || { echo "datamover_backup: the restored volume differs" >&2; exit 1; }
S volume delete dd-target >/dev/null; S volume delete restored >/dev/null

# Peak memory on a sparse volume: a few written extents, the rest never written.
S volume create big-vol "$sparse_size" >/dev/null
big_bytes=$(S volume list | python3 -c "import json,sys; print([v for v in json.load(sys.stdin) if v['name']=='big-vol'][0]['size'])")
for at in 0 $(( big_bytes / 3 )) $(( big_bytes / 2 )) $(( big_bytes - 8388608 )); do
  S write big-vol --offset $(( at / 4194304 * 4194304 )) --random $(( at % 997 + 3 )) --length 4194304 >/dev/null
done
S snapshot create big-vol b1 >/dev/null
DM init --repo "$root/repo-big" --encryption repokey >/dev/null
big=$(peak "$dm" --root "$root" --json backup --volume-id $uuid3 --snapshot-url $url/b1 --repo "$root/repo-big" --volume-size "$big_bytes")
big_rss=$(cat "$root/rss")
big_id=$(echo "$big" | field backup_id)
peak "$dm" --root "$root" --json restore --repo "$root/repo-big" --backup "$big_id" --to-file "$root/dd/big.img" >/dev/null
big_res_rss=$(cat "$root/rss")
rm -f "$root/dd/big.img"

r_rand=$(calc "$rand_x / $dd_rand"); r_half=$(calc "$half_x / $dd_half")
r_size=$(calc "$repo_after_full / $bytes"); r_clone=$(calc "100.0 * ($repo_after_clone - $repo_after_full) / $bytes")
r_inc=$(calc "$inc_x / $half_x"); r_res=$(calc "$res_x / $dd_back")
mib() { echo $(( $1 >> 20 )); }
echo "datamover_backup: volume $(mib "$bytes") MiB, format 3 (zstd level 1, repokey: AES-256-GCM), $percent % of $chunks chunks changed ($(mib "$inc_read") MiB read by the incremental); sparse volume $(mib "$big_bytes") MiB"
printf '  %-40s %8s s\n' "dd copy, incompressible" "$dd_rand"
printf '  %-40s %8s s  excl. settle %6s s  ratio to dd %5s (goal <= 1.30, %s)\n' "full backup, incompressible" "$(echo "$rand" | field seconds)" "$rand_x" "$r_rand" "$(goal "$r_rand" 1.3)"
printf '  %-40s %8s s\n' "dd copy, half-compressible" "$dd_half"
printf '  %-40s %8s s  excl. settle %6s s  ratio to dd %5s (goal <= 1.00, %s)\n' "full backup, half-compressible" "$(echo "$half" | field seconds)" "$half_x" "$r_half" "$(goal "$r_half" 1.0)"
printf '  %-40s   of which read+seal+store %s s, commit %s s\n' "" "$(echo "$half" | field read_seconds)" "$(echo "$half" | field commit_seconds)"
printf '  %-40s %8s MiB  of the volume %5s (goal <= 0.55, %s)\n' "repository after it" "$(mib "$repo_after_full")" "$r_size" "$(goal "$r_size" 0.55)"
printf '  %-40s %8s KiB  %% of the volume %5s (goal <= 1.00, %s); chunks stored %s, deduplicated %s\n' "a cloned volume adds" "$(( (repo_after_clone - repo_after_full) >> 10 ))" "$r_clone" "$(goal "$r_clone" 1.0)" "$(echo "$clone" | field chunks_stored)" "$(echo "$clone" | field chunks_deduplicated)"
printf '  %-40s %8s s  excl. settle %6s s  ratio to full %5s (goal <= 0.15, %s)\n' "incremental backup" "$(echo "$inc" | field seconds)" "$inc_x" "$r_inc" "$(goal "$r_inc" 0.15)"
printf '  %-40s %8s s\n' "dd copy (volume -> fresh volume)" "$dd_back"
printf '  %-40s %8s s  excl. settle %6s s  ratio to dd %5s (goal <= 1.20, %s)\n' "restore of the incremental's point" "$(echo "$res" | field seconds)" "$res_x" "$r_res" "$(goal "$r_res" 1.2)"
printf '  %-40s %8s MiB peak RSS (goal <= 128, %s)\n' "backup of the sparse volume" "$(( big_rss >> 10 ))" "$(goal "$(( big_rss >> 10 ))" 128)"
printf '  %-40s %8s MiB peak RSS (goal <= 128, %s)\n' "restore of the sparse volume (to a file)" "$(( big_res_rss >> 10 ))" "$(goal "$(( big_res_rss >> 10 ))" 128)"
