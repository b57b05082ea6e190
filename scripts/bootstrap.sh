#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# Idempotent: when every package is already installed it only runs dpkg-query.
set -euo pipefail

PACKAGES=(
  g++ cmake make pkg-config
  libboost-dev libboost-filesystem-dev libboost-thread-dev
  libjsoncpp-dev liblz4-dev libaio-dev libzstd-dev libssl-dev
  libprotobuf-dev protobuf-compiler
  libcurl4-openssl-dev libsqlite3-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev libcli11-dev
  python3 openssl procps util-linux fio
  clang libclang-rt-14-dev ccache
  ceph-mon ceph-osd ceph-common rbd-fuse librbd-dev libradospp-dev fuse3 radosgw
  qemu-system-common qemu-utils qemu-block-extra
)

missing=()
for p in "${PACKAGES[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "bootstrap: installing ${missing[*]}" >&2
SUDO=""
if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
