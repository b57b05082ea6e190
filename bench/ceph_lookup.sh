#!/usr/bin/env bash
# Time of finding a snapshot by its bare name in a pool of IMAGES (511) images, the last of which
# carries it: `querySnapshotIdentity`, the lookup every attach of a snapshot makes. RUNS (5) times.
# OTHER_TOOL=PATH times another rbd-tool build on the same pool too (an older one, say).
# Starts a throw-away local cluster (scripts/ceph-cluster.sh) and stops it again.
# Usage: bench/ceph_lookup.sh BUILD_DIR
source "$(dirname "$0")/common.bash"
tool=$(find_tool adapters rbd-tool)
[ -n "$tool" ] || { echo "ceph_lookup: build rbd-tool in $build first" >&2; exit 1; }
images=${IMAGES:-511}
runs=${RUNS:-5}
root=$(mktemp -d "${TMPDIR:-/tmp}/dm-clookup-XXXXXX")
export CEPH_CLUSTER_DIR=$root/cluster CEPH_POOL=pool0
cleanup() {
  timeout 120 bash "$here/scripts/ceph-cluster.sh" stop >/dev/null 2>&1 || true
  rm -rf "$root"
}
trap cleanup EXIT
timeout 300 bash "$here/scripts/ceph-cluster.sh" start >/dev/null 2>&1 || { echo "ceph_lookup: the cluster did not start" >&2; exit 1; }
conf=$CEPH_CLUSTER_DIR/ceph.conf
make_root "$root"
timeout 60 "$tool" --root "$root" admin configure --conf "$conf" >/dev/null
seq -w 1 "$images" | timeout 900 xargs -P 4 -I{} rbd -c "$conf" create --size 4M pool0/img-{}
timeout 60 rbd -c "$conf" snap create "pool0/img-$(seq -w 1 "$images" | tail -1)@wanted" >/dev/null 2>&1
echo "ceph_lookup: $images images, one snapshot 'wanted' on the last; $runs lookups each"
for t in "$tool" ${OTHER_TOOL:-}; do
  for i in $(seq "$runs"); do
    t0=$(now)
    out=$(timeout 120 "$t" --root "$root" --as qrm -- --op querySnapshotIdentity --snapName wanted \
          --staIp 127.0.0.1 --strataFloatIP 127.0.0.1 --poolId pool0) || { echo "ceph_lookup: $t failed: $out" >&2; exit 1; }
    printf '  %-60s %6s s  %s\n' "$t" "$(calc "$(now) - $t0")" "$(echo "$out" | grep -E '^snapIdentity=')"
  done
done
