#!/usr/bin/env bash
# An S3 gateway (radosgw) beside the throw-away cluster of scripts/ceph-cluster.sh, for the
# S3 tests, bench and demo.
#   scripts/rgw.sh start|stop|env
# start: adds a [client.rgw.dm] section to the cluster's conf (plain HTTP on one free loopback
# port, HTTPS on another), starts radosgw, waits until both ports answer S3 and makes a user
# and a bucket. The HTTPS port's certificate (for 127.0.0.1 and localhost) is signed by a
# throw-away CA made with openssl on the first start and kept in the cluster dir's tls/.
# env: prints the variables a data mover needs (endpoints, keys, bucket, the CA file for
# AWS_CA_BUNDLE) as shell assignments.
# stop: kills radosgw by its pid file and removes its files; the cluster stays (and with it
# the bucket, the certificates and the ports, which the next start reuses when free).
# CEPH_CLUSTER_DIR as for ceph-cluster.sh; RGW_BUCKET (default dm-test).
set -euo pipefail
dir=${CEPH_CLUSTER_DIR:-/tmp/dm-ceph}
conf=$dir/ceph.conf
name=client.rgw.dm
state=$dir/rgw.env
tls=$dir/tls
bucket=${RGW_BUCKET:-dm-test}
access=DMTESTACCESSKEY0001
secret=dmtestsecretkey0000000000000000000000001

in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
# HTTP status of an anonymous GET of / (radosgw answers 200 with an empty bucket list).
answers() { [ "$(curl -s -o /dev/null -w '%{http_code}' --max-time 2 "http://127.0.0.1:$1/" 2>/dev/null)" = 200 ]; }
# The same over HTTPS, verified against the throw-away CA (so the chain is checked too).
answers_tls() {
    [ "$(curl -s -o /dev/null -w '%{http_code}' --max-time 2 --cacert "$tls/ca.pem" "https://127.0.0.1:$1/" \
        2>/dev/null)" = 200 ]
}
# The first free loopback port from 7480 to 7580 that is not $1.
free_port() {
    local p
    for p in $(seq 7480 7580); do
        [ "$p" != "${1:-}" ] && ! in_use "$p" && { echo "$p"; return 0; }
    done
    return 1
}
# A CA and a server certificate it signed, made once: built in a scratch directory and
# renamed into place, so a start killed half-way never leaves a set that does not match.
make_certs() {
    [ -e "$tls/ca.pem" ] && return 0
    command -v openssl >/dev/null || { echo "rgw: openssl is not installed (scripts/bootstrap.sh)" >&2; return 1; }
    local t=$tls.new
    rm -rf "$t"
    mkdir -p "$t"
    printf '%s\n' '[req]' 'distinguished_name = dn' 'x509_extensions = ca' '[dn]' '[ca]' \
        'basicConstraints = critical,CA:TRUE' 'keyUsage = critical,keyCertSign,cRLSign' \
        'subjectKeyIdentifier = hash' >"$t/ca.cnf"
    printf '%s\n' 'basicConstraints = CA:FALSE' 'keyUsage = critical,digitalSignature,keyEncipherment' \
        'extendedKeyUsage = serverAuth' 'subjectAltName = IP:127.0.0.1,DNS:localhost' \
        'authorityKeyIdentifier = keyid' >"$t/server.ext"
    # start() runs in a `||` list, where set -e does not hold: every step is checked.
    { openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650 -subj "/CN=datamover test CA" \
          -config "$t/ca.cnf" -keyout "$t/ca.key" -out "$t/ca.pem" &&
      openssl req -new -newkey rsa:2048 -nodes -sha256 -subj "/CN=127.0.0.1" -config "$t/ca.cnf" \
          -keyout "$t/server.key" -out "$t/server.csr" &&
      openssl x509 -req -sha256 -days 3650 -in "$t/server.csr" -CA "$t/ca.pem" -CAkey "$t/ca.key" \
          -set_serial "0x$(openssl rand -hex 8)" -extfile "$t/server.ext" -out "$t/server.pem" &&
      openssl verify -CAfile "$t/ca.pem" "$t/server.pem"; } >"$t/openssl.log" 2>&1 ||
        { echo "rgw: making the test certificates failed:" >&2; cat "$t/openssl.log" >&2; return 1; }
    rm -rf "$tls"
    mv "$t" "$tls"
}
s3() { curl -sS --max-time 20 --aws-sigv4 "aws:amz:us-east-1:s3" --user "$access:$secret" \
            -H "x-amz-content-sha256: UNSIGNED-PAYLOAD" "$@"; }

start() {
    [ -e "$conf" ] || { echo "rgw: no cluster in $dir (scripts/ceph-cluster.sh start first)" >&2; return 1; }
    command -v radosgw >/dev/null || { echo "rgw: radosgw is not installed (scripts/bootstrap.sh)" >&2; return 1; }
    # The port is chosen and bound under the cluster script's machine-wide lock, so two
    # gateways started at once do not pick the same free port.
    exec 9>"${TMPDIR:-/tmp}/dm-ceph-cluster.lock"
    flock 9
    local port= tlsport=
    # A restart keeps the ports the data movers were given, when they are still free.
    if [ -e "$state" ]; then
        port=$(sed -n 's/^RGW_ENDPOINT=127.0.0.1://p' "$state")
        if [ -n "$port" ] && in_use "$port"; then port=; fi
        tlsport=$(sed -n 's/^RGW_TLS_ENDPOINT=127.0.0.1://p' "$state")
        if [ -n "$tlsport" ] && { in_use "$tlsport" || [ "$tlsport" = "$port" ]; }; then tlsport=; fi
    fi
    [ -n "$port" ] || port=$(free_port "$tlsport") || { echo "rgw: no free port from 7480 to 7580" >&2; return 1; }
    [ -n "$tlsport" ] || tlsport=$(free_port "$port") || { echo "rgw: no second free port from 7480 to 7580" >&2; return 1; }
    make_certs || return 1
    local frontends="beast endpoint=127.0.0.1:$port ssl_endpoint=127.0.0.1:$tlsport"
    frontends+=" ssl_certificate=$tls/server.pem ssl_private_key=$tls/server.key"
    if ! grep -qF "[$name]" "$conf"; then
        # With auth none the monitor refuses the gateway (-13) unless it asks for crc mode.
        cat >>"$conf" <<CONF
[$name]
rgw frontends = $frontends
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
        sed -i "s|^rgw frontends = beast .*|rgw frontends = $frontends|" "$conf"
    fi
    mkdir -p "$dir/rgw"
    radosgw -c "$conf" -n "$name" 9>&-
    # The ports answering S3 are the state to wait on (pools are made on the first start).
    local i
    for i in $(seq 240); do answers "$port" && answers_tls "$tlsport" && break; sleep 0.25; done
    answers "$port" || { echo "rgw: radosgw did not answer on 127.0.0.1:$port" >&2; return 1; }
    answers_tls "$tlsport" || { echo "rgw: radosgw did not answer HTTPS on 127.0.0.1:$tlsport" >&2; return 1; }
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
RGW_TLS_ENDPOINT=127.0.0.1:$tlsport
RGW_CA_FILE=$tls/ca.pem
RGW_BUCKET=$bucket
AWS_ACCESS_KEY_ID=$access
AWS_SECRET_ACCESS_KEY=$secret
AWS_DEFAULT_REGION=us-east-1
ENV
    echo "rgw: started on 127.0.0.1:$port, HTTPS on 127.0.0.1:$tlsport (bucket $bucket; '$0 env' prints the variables)"
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
