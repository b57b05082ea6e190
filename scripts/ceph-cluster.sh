#!/usr/bin/env bash
# A throw-away single-node Ceph cluster on loopback for the Ceph tests, benchmarks and demo:
# one monitor, one bluestore OSD on a sparse file, auth none, pool size 1, no manager.
#   scripts/ceph-cluster.sh start|stop|status|conf
# CEPH_CLUSTER_DIR (default /tmp/dm-ceph) holds everything; stop kills the daemons it started
# (by their pid files), unmounts FUSE mounts left under it and removes it.
# CEPH_OSD_BYTES (default 16 GiB) sizes the OSD's sparse file; only what is written takes room.
# It must hold every image a run writes: a 4 GiB one filled by a 2 GiB image and its 2 GiB
# restore, the OSD aborted on ENOSPC and every writer hung.
set -euo pipefail
dir=${CEPH_CLUSTER_DIR:-/tmp/dm-ceph}
pool=${CEPH_POOL:-pool0}
conf=$dir/ceph.conf
port=${CEPH_MON_PORT:-}
port2=

# Whether something answers on 127.0.0.1:$1 (another cluster's monitor, say).
in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

ceph_() { timeout 30 ceph -c "$conf" --connect-timeout 10 "$@"; }

write_conf() {
    cat >"$conf" <<CONF
[global]
fsid = $1
mon host = [v2:127.0.0.1:$port2,v1:127.0.0.1:$port]
public addr = 127.0.0.1
ms bind ipv6 = false
auth cluster required = none
auth service required = none
auth client required = none
osd pool default size = 1
osd pool default min size = 1
mon allow pool size one = true
mon warn on pool no redundancy = false
osd crush chooseleaf type = 0
osd objectstore = bluestore
bluestore block create = true
bluestore block size = ${CEPH_OSD_BYTES:-17179869184}
bluestore cache size = 268435456
osd memory target = 939524096
run dir = $dir/run
log file = $dir/log/\$name.log
pid file = $dir/run/\$name.pid
admin socket = $dir/run/\$name.asok
mon data = $dir/mon/\$name
osd data = $dir/osd/\$name
rbd default features = 61
[client]
log file = $dir/log/client.log
admin socket =
CONF
}

start() {
    # Another cluster's monitor on a port would take this one's OSD (it fails with "wrong
    # fsid"). The monitor listens on two ports: the given one (protocol v1) and its v2 twin,
    # 3300 + (port - 6789) unless CEPH_MON_V2_PORT says otherwise; both must be free, else
    # the first free pair from 6789/3300 is taken. Two starts at once would find the same
    # pair free, so the choice and the monitor's bind happen under one machine-wide lock
    # (fd 9, closed for the daemons so that they do not keep it).
    exec 9>"${TMPDIR:-/tmp}/dm-ceph-cluster.lock"
    flock 9
    if [ -n "$port" ]; then
        port2=${CEPH_MON_V2_PORT:-$((3300 + port - 6789))}
        if in_use "$port" || in_use "$port2"; then
            echo "ceph-cluster: 127.0.0.1:$port or :$port2 is in use (another cluster?)" >&2; return 1
        fi
    else
        for port in $(seq 6789 6889) ""; do
            [ -n "$port" ] || break
            port2=$((3300 + port - 6789))
            ! in_use "$port" && ! in_use "$port2" && break
        done
        [ -n "$port" ] || { echo "ceph-cluster: no free port pair from 6789/3300 to 6889/3400" >&2; return 1; }
    fi
    mkdir -p "$dir/run" "$dir/log" "$dir/mon/mon.a" "$dir/osd/osd.0"
    local fsid; fsid=$(cat /proc/sys/kernel/random/uuid)
    write_conf "$fsid"
    monmaptool --create --addv a "[v2:127.0.0.1:$port2,v1:127.0.0.1:$port]" --fsid "$fsid" "$dir/monmap" >/dev/null
    ceph-mon -c "$conf" -i a --mkfs --monmap "$dir/monmap" 9>&-
    ceph-mon -c "$conf" -i a 9>&-
    for _ in $(seq 120); do in_use "$port" && in_use "$port2" && break; sleep 0.25; done
    in_use "$port" && in_use "$port2" || { echo "ceph-cluster: the monitor did not listen on 127.0.0.1:$port and :$port2" >&2; return 1; }
    flock -u 9
    exec 9>&-
    local uuid; uuid=$(cat /proc/sys/kernel/random/uuid)
    local id; id=$(ceph_ osd new "$uuid")
    ceph-osd -c "$conf" -i "$id" --mkfs --osd-uuid "$uuid" >/dev/null 2>&1
    ceph-osd -c "$conf" -i "$id"
    # "1 up" is a state the monitor reports; poll it instead of sleeping a guessed time.
    for _ in $(seq 120); do
        if ceph_ osd stat 2>/dev/null | grep -q '1 up'; then break; fi
        sleep 0.5
    done
    ceph_ osd stat | grep -q '1 up' || { echo "ceph-cluster: the OSD did not come up" >&2; return 1; }
    ceph_ osd pool create "$pool" 8 >/dev/null 2>&1
    ceph_ osd pool application enable "$pool" rbd >/dev/null 2>&1
    echo "ceph-cluster: started in $dir (conf $conf, pool $pool)"
}

stop() {
    [ -d "$dir" ] || return 0
    # FUSE mounts left by attach (the adapter's own detach is the normal path).
    local m
    for m in $( (grep -F " $dir/" /proc/mounts || true) | awk '{print $2}'); do
        umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || true
    done
    for p in "$dir"/run/*.pid; do
        [ -e "$p" ] || continue
        local pid; pid=$(cat "$p")
        kill "$pid" 2>/dev/null || true
        for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -9 "$pid" 2>/dev/null || true
    done
    rm -rf "$dir"
    echo "ceph-cluster: stopped"
}

status() {
    [ -e "$conf" ] || { echo "ceph-cluster: not started"; return 1; }
    ceph_ osd stat
}

case "${1:-}" in
    # A start that fails half-way takes down what it started; a cluster already
    # running in the directory is left alone (taking it down would remove its data).
    start)
        if [ -e "$dir/run/mon.a.pid" ]; then echo "ceph-cluster: already started in $dir" >&2; exit 1; fi
        start || { rc=$?; stop >/dev/null; exit "$rc"; } ;;
    stop) stop ;;
    status) status ;;
    conf) echo "$conf" ;;
    *) echo "usage: $0 start|stop|status|conf" >&2; exit 2 ;;
esac
