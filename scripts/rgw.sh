#!/usr/bin/env bash
# An S3 gateway (radosgw) beside the throw-away cluster of scripts/ceph-cluster.sh, for the
# S3 tests, bench and demo.
#   scripts/rgw.sh start|stop|env
# start: adds a [client.rgw.dm] section to the cluster's conf (plain HTTP on a free loopback
# port), starts radosgw, waits until the port answers S3 and makes a user and a bucket.
# env: prints the variables a data mover needs (endpoint, keys, bucket) as shell assignments.
# stop: kills radosgw by its pid file and removes its files; the cluster stays (and with it
# the bucket and the port, which the next start reuses when free).
# CEPH_CLUSTER_DIR as for ceph-cluster.sh; RGW_BUCKET (default dm-test).
set -euo pipefail
dir=${CEPH_CLUSTER_DIR:-/tmp/dm-ceph}
conf=$dir/ceph.conf
name=client.rgw.dm
state=$dir/rgw.env
bucket=${RGW_BUCKET:-dm-test}
access=DMTESTACCESSKEY0001
secret=dmtestsecretkey0000000000000000000000001

in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
# HTTP status of an anonymous GET of / (radosgw answers 200 with an empty bucket list).
answers() { [ "$(curl -s -o /dev/null -w '%{http_code}' --max-time 2 "http://127.0.0.1:$1/" 2>/dev/null)" = 200 ]; }
s3() { curl -sS --max-time 20 --aws-sigv4 "aws:amz:us-east-1:s3" --user "$access:$secret" \
            -H "x-amz-content-sha256: UNSIGNED-PAYLOAD" "$@"; }

start() {
    [ -e "$conf" ] || { echo "rgw: no cluster in $dir (scripts/ceph-cluster.sh start first)" >&2; return 1; }
    command -v radosgw >/dev/null || { echo "rgw: radosgw is not installed (scripts/bootstrap.sh)" >&2; return 1; }
    # The port is chosen and bound under the cluster script's machine-wide lock, so two
    # gateways started at once do not pick the same free port.
    exec 9>"${TMPDIR:-/tmp}/dm-ceph-cluster.lock"
    flock 9
    local port=
    # A restart keeps the port the data movers were given, when it is still free.
    if [ -e "$state" ]; then
        port=$(sed -n 's/^RGW_ENDPOINT=127.0.0.1://p' "$state")
        if [ -n "$port" ] && in_use "$port"; then port=; fi
    fi
    [ -n "$port" ] || for port in $(seq 7480 7580) ""; do
        [ -n "$port" ] || break
        ! in_use "$port" && break
    done
    [ -n "$port" ] || { echo "rgw: no free port from 7480 to 7580" >&2; return 1; }
    if ! grep -qF "[$name]" "$conf"; then
        # With auth none the monitor refuses the gateway (-13) unless it asks for crc mode.
        cat >>"$conf" <<CONF
[$name]
rgw frontends = beast endpoint=127.0.0.1:$port
rgw data = $dir/rgw
rgw dns name = 127.0.0.1
rgw thread pool size = 64
# Many uploads in flight (several data movers, 8 threads each) must not wait on the
# gateway's own RADOS throttle (100 MiB by default) long enough to look stalled.
objecter inflight op bytes = 1073741824
objecter inflight ops = 8192
ms mon client mode = crc
ms client mode = crc
log file = $dir/log/\$name.log
pid file = $dir/run/rgw.pid
admin socket = $dir/run/\$name.asok
CONF
    else
        sed -i "s|^rgw frontends = beast endpoint=127.0.0.1:.*|rgw frontends = beast endpoint=127.0.0.1:$port|" "$conf"
    fi
    mkdir -p "$dir/rgw"
    radosgw -c "$conf" -n "$name" 9>&-
    # The port answering S3 is the state to wait on (pools are made on the first start).
    local i
    for i in $(seq 240); do answers "$port" && break; sleep 0.25; done
    answers "$port" || { echo "rgw: radosgw did not answer on 127.0.0.1:$port" >&2; return 1; }
    flock -u 9
    exec 9>&-
    if ! radosgw-admin -c "$conf" user info --uid dm >/dev/null 2>&1; then
        radosgw-admin -c "$conf" user create --uid dm --display-name dm --access-key "$access" \
            --secret-key "$secret" >/dev/null
    fi
    local code
    code=$(s3 -o /dev/null -w '%{http_code}' -X PUT "http://127.0.0.1:$port/$bucket")
    case "$code" in 200|409) ;; *) echo "rgw: creating bucket $bucket answered HTTP $code" >&2; return 1 ;; esac
    cat >"$state" <<ENV
RGW_ENDPOINT=127.0.0.1:$port
RGW_BUCKET=$bucket
AWS_ACCESS_KEY_ID=$access
AWS_SECRET_ACCESS_KEY=$secret
AWS_DEFAULT_REGION=us-east-1
ENV
    echo "rgw: started on 127.0.0.1:$port (bucket $bucket; '$0 env' prints the variables)"
}

stop() {
    local p=$dir/run/rgw.pid
    if [ -e "$p" ]; then
        local pid; pid=$(cat "$p")
        kill "$pid" 2>/dev/null || true
        for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -9 "$pid" 2>/dev/null || true
        rm -f "$p"
    fi
    rm -rf "$dir/rgw"
    echo "rgw: stopped"
}

case "${1:-}" in
    start)
        if [ -e "$dir/run/rgw.pid" ] && kill -0 "$(cat "$dir/run/rgw.pid")" 2>/dev/null; then
            echo "rgw: already running in $dir" >&2; exit 1
        fi
        start || { rc=$?; stop >/dev/null; exit "$rc"; } ;;
    stop) stop ;;
    env) [ -e "$state" ] || { echo "rgw: not started" >&2; exit 1; }; cat "$state" ;;
    *) echo "usage: $0 start|stop|env" >&2; exit 2 ;;
esac
