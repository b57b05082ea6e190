#!/usr/bin/env bash
# Times the data mover against an S3 gateway (radosgw on a throw-away loopback cluster), in one run:
#   full backup of SIZE (1 GiB, random: every chunk new) into a bucket
#       vs uploading the same chunk files with 8 parallel `curl --aws-sigv4` processes
#   restore of that backup into a fresh volume
#       vs downloading the same chunk objects with 8 parallel curl processes
#   four backups of different volumes (SIZE/4 each) at once vs the longest of them alone
# The chunk files curl sends are the ones the backup stored (read back from the bucket first),
# so both sides move the same bytes; curl signs with the payload's SHA-256 as the data mover does.
# Usage: bench/s3_backup.sh BUILD_DIR   (SIZE=1G, DEPTH=8 may be set)
SIZE=${SIZE:-1G}
source "$(dirname "$0")/common.bash"
sim=$(find_tool sim strata-sim)
[ -x "$dm" ] && [ -n "$sim" ] || { echo "s3_backup: build datamover and strata-sim in $build first" >&2; exit 1; }
command -v radosgw >/dev/null || { echo "s3_backup: radosgw is missing (scripts/bootstrap.sh)" >&2; exit 1; }
depth=${DEPTH:-8}

root=$(mktemp -d "${TMPDIR:-/tmp}/dm-s3bench-XXXXXX")
export CEPH_CLUSTER_DIR=$root/cluster CEPH_POOL=pool0
cleanup() {
  "$sim" --root "$root" admin teardown >/dev/null 2>&1 || true
  bash "$here/scripts/rgw.sh" stop >/dev/null 2>&1 || true
  bash "$here/scripts/ceph-cluster.sh" stop >/dev/null 2>&1 || true
  rm -rf "$root"
}
trap cleanup EXIT
bash "$here/scripts/ceph-cluster.sh" start >/dev/null 2>&1
bash "$here/scripts/rgw.sh" start >/dev/null
eval "$(bash "$here/scripts/rgw.sh" env)"
export AWS_ACCESS_KEY_ID AWS_SECRET_ACCESS_KEY AWS_DEFAULT_REGION
sim_root "$root" "$sim"
S() { "$sim" --root "$root" admin "$@"; }
DM() { "$dm" --root "$root" --json "$@"; }

base=http://$RGW_ENDPOINT/$RGW_BUCKET
repo=s3+http://$RGW_ENDPOINT/$RGW_BUCKET/bench
DM init --repo "$repo" --encryption none >/dev/null
url=strata://127.0.0.1/pool0
mkvol() {  # NAME SIZE SEED
  S volume create "$1" "$2" >/dev/null
  local b; b=$(S volume list | python3 -c "import json,sys; print([v for v in json.load(sys.stdin) if v['name']=='$1'][0]['size'])")
  S write "$1" --random "$3" --length "$b" >/dev/null
  S snapshot create "$1" "$1-s" >/dev/null
  echo "$b"
}
bytes=$(mkvol bench-vol "$size" 1)
quiesce "$root"
full=$(DM backup --volume-id 1b4e28ba-2fa1-11d2-883f-0016d3cca427 --snapshot-url $url/bench-vol-s --repo "$repo" \
       --volume-size "$bytes" --depth "$depth")
full_s=$(echo "$full" | field seconds); full_settle=$(echo "$full" | field settle_seconds)
full_x=$(calc "$full_s - $full_settle"); full_id=$(echo "$full" | field backup_id)
chunks=$(echo "$full" | field chunks_stored)

# The same chunk objects, fetched once to local files, then put and got by 8 curl processes.
sig=(--aws-sigv4 "aws:amz:us-east-1:s3" --user "$AWS_ACCESS_KEY_ID:$AWS_SECRET_ACCESS_KEY")
mkdir -p "$root/objs" "$root/got"
# list_keys PREFIX FILE: every key under PREFIX (ListObjectsV2 with continuation), one a line.
list_keys() {
python3 - "$base" "$2" "$1" <<'PY'
import subprocess, sys, os, re, urllib.parse
base, out, prefix = sys.argv[1], sys.argv[2], urllib.parse.quote(sys.argv[3], safe='')
keys, token = [], None
while True:
    q = "list-type=2&prefix=" + prefix if token is None else \
        "continuation-token=%s&list-type=2&prefix=%s" % (urllib.parse.quote(token, safe=''), prefix)
    body = subprocess.run(["curl", "-sS", "--aws-sigv4", "aws:amz:us-east-1:s3", "--user",
                           os.environ["AWS_ACCESS_KEY_ID"] + ":" + os.environ["AWS_SECRET_ACCESS_KEY"],
                           "-H", "x-amz-content-sha256: e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
                           base + "?" + q], capture_output=True, text=True).stdout
    keys += re.findall(r"<Key>([^<]+)</Key>", body)
    if "<IsTruncated>true</IsTruncated>" not in body: break
    token = re.search(r"<NextContinuationToken>([^<]+)</NextContinuationToken>", body).group(1)
open(out, "w").write("".join(k + "\n" for k in keys))
PY
}
# delete_prefix PREFIX: removes every object under it (the test cluster's OSD is 4 GiB).
delete_prefix() {
  list_keys "$1" "$root/del"
  xargs -P 8 -I{} curl -sS -f --aws-sigv4 "$sigtext" --user "$AWS_ACCESS_KEY_ID:$AWS_SECRET_ACCESS_KEY" \
    -H "x-amz-content-sha256: e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855" \
    -X DELETE "$base/{}" -o /dev/null < "$root/del"
}
sigtext="aws:amz:us-east-1:s3"
export sigtext
list_keys bench/chunks/ "$root/keys"
n_keys=$(wc -l < "$root/keys")
get_one() { curl -sS -f "${sig[@]}" -H "x-amz-content-sha256: UNSIGNED-PAYLOAD" -o "$2" "$base/$1"; }
export base root
while read -r k; do get_one "$k" "$root/objs/$(basename "$k")"; done < "$root/keys"
t0=$(now)
xargs -P 8 -I{} bash -c 'curl -sS -f --aws-sigv4 "$sigtext" --user "$AWS_ACCESS_KEY_ID:$AWS_SECRET_ACCESS_KEY" \
  -H "x-amz-content-sha256: $(sha256sum "$root/objs/$(basename {})" | cut -d" " -f1)" \
  -T "$root/objs/$(basename {})" "$base/curl/{}" -o /dev/null' < "$root/keys"
t1=$(now); curl_put=$(calc "$t1 - $t0")
delete_prefix curl/

S volume create bench-restore "$size" >/dev/null
quiesce "$root"
rest=$(DM restore --repo "$repo" --backup "$full_id" --volume-url $url/bench-restore --depth "$depth")
rest_s=$(echo "$rest" | field seconds); rest_settle=$(echo "$rest" | field settle_seconds)
rest_x=$(calc "$rest_s - $rest_settle")
t0=$(now)
xargs -P 8 -I{} bash -c 'curl -sS -f --aws-sigv4 "$sigtext" --user "$AWS_ACCESS_KEY_ID:$AWS_SECRET_ACCESS_KEY" \
  -H "x-amz-content-sha256: UNSIGNED-PAYLOAD" -o "$root/got/$(basename {})" "$base/{}"' < "$root/keys"
t1=$(now); curl_get=$(calc "$t1 - $t0")
delete_prefix bench/
rm -rf "$root/objs" "$root/got"

# Four volumes of a quarter each: each alone, then all four at once.
quarter=$(( bytes / 4 / 4194304 * 4194304 ))
for i in 1 2 3 4; do mkvol q$i "$quarter" $((10 + i)) >/dev/null; done
repo4=s3+http://$RGW_ENDPOINT/$RGW_BUCKET/bench4
DM init --repo "$repo4" --encryption none >/dev/null
longest=0
alone_cpu=0
for i in 1 2 3 4; do
  quiesce "$root"
  c0=$(cpu_busy)
  DM init --repo "$repo4-alone-$i" --encryption none >/dev/null
  r=$(DM backup --volume-id 1b4e28ba-2fa1-11d2-883f-0016d3cca40$i --snapshot-url $url/q$i-s --repo "$repo4-alone-$i" \
      --volume-size "$quarter" --depth "$depth")
  s=$(echo "$r" | field seconds); x=$(calc "$s - $(echo "$r" | field settle_seconds)")
  longest=$(python3 -c "print(max($longest, $x))")
  alone_cpu=$(calc "$alone_cpu + $(cpu_busy) - $c0")
  delete_prefix "bench4-alone-$i/"
done
quiesce "$root"
c0=$(cpu_busy)
t0=$(now)
for i in 1 2 3 4; do
  DM backup --volume-id 1b4e28ba-2fa1-11d2-883f-0016d3cca40$i --snapshot-url $url/q$i-s --repo "$repo4" \
     --volume-size "$quarter" --depth "$depth" > "$root/four-$i.json" &
done
wait
t1=$(now); four=$(calc "$t1 - $t0")
four_cpu=$(calc "$(cpu_busy) - $c0")
for i in 1 2 3 4; do
  grep -q '"ok":true' "$root/four-$i.json" || { echo "s3_backup: backup $i of four failed: $(cat "$root/four-$i.json")" >&2; exit 1; }
done
settle4=$(for i in 1 2 3 4; do field settle_seconds < "$root/four-$i.json"; done | sort -n | tail -1)
four_x=$(calc "$four - $settle4")

mib=$(calc "$bytes / 1048576")
echo "s3_backup: SIZE=$size ($mib MiB random, $chunks chunks, $n_keys objects), depth $depth, radosgw 127.0.0.1, $(nproc) cores"
echo "  full backup      $full_x s excl. settle ($full_s s)   8x curl PUT of the same chunks $curl_put s   ratio $(calc "$full_x / $curl_put") (goal <= 1.2: $(goal "$full_x / $curl_put" 1.2))"
echo "  restore          $rest_x s excl. settle ($rest_s s)   8x curl GET of the same chunks $curl_get s   ratio $(calc "$rest_x / $curl_get") (goal <= 1.2: $(goal "$rest_x / $curl_get" 1.2))"
echo "  four at once     $four_x s excl. settle ($four s)   longest alone $longest s   ratio $(calc "$four_x / $longest") (goal <= 1.3: $(goal "$four_x / $longest" 1.3))"
# Where the time of the four goes: the machine's busy CPU seconds (data movers, gateway, OSD)
# for the four run one by one and at once, and what the cores could give in the time at once
# outside the settle (when the data movers sleep).
echo "  busy CPU         four alone $alone_cpu s in all, four at once $four_cpu s; the $(nproc) cores give $(calc "$(nproc) * $four_x") s in $four_x s"
