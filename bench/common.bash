# Sourced by the benchmark scripts (not run by run_all.sh): the build's tools, a bench root,
# timing and ratio helpers. Expects the build directory as the script's first argument.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
here=$(cd "$(dirname "$0")/.." && pwd)
size=${SIZE:-2G}
percent=${CHANGED_PERCENT:-5}
dm=$build/bin/datamover

# find_tool SUBDIR NAME: the executable NAME built under $build/SUBDIR, or nothing.
find_tool() { find "$build/$1" -name "$2" -type f -perm -u+x 2>/dev/null | head -1; }
now() { date +%s.%N; }
field() { python3 -c "import json,sys; print(json.loads(sys.stdin.readline())['$1'])"; }
calc() { python3 -c "print('%.2f' % ($1))"; }
goal() { python3 -c "print('ok' if $1 <= $2 else 'MISSED')"; }
# Busy CPU seconds of the whole machine so far (every core; idle and iowait left out):
# the difference over a step says whether the step was bound by the processors.
cpu_busy() { awk -v hz="$(getconf CLK_TCK)" '/^cpu /{print ($2+$3+$4+$7+$8+$9)/hz}' /proc/stat; }

# make_root DIR: the plug-in's libraries and the project's configuration, with the agent
# stand-in inside DIR so that no bench touches the fixed agent path.
make_root() {
  mkdir -p "$1"/{lib,bin,qbctool,script,conf,var/log,var/cache,var/strata-sim}
  for f in "$build"/lib/*.so; do ln -s "$f" "$1/lib/"; done
  sed "s|^\[General\]|[General]\nStrataAgentPath = $1/opt/strata/agent/bin/strata_agent|" \
      "$here/conf/datamover.ini" > "$1/conf/datamover.ini"
}

# sim_root DIR SIM: make_root DIR, with the simulator SIM and its tool scripts in it and its agent running.
sim_root() {
  make_root "$1"
  ln -s "$2" "$1/bin/strata-sim"
  cp "$here/sim/scripts/qrmQBCTool.sh" "$1/qbctool/"
  cp "$here/sim/scripts/security_sudo_qbc_cli.sh" "$1/bin/"
  cp "$here/sim/scripts/reg_qs.sh" "$1/script/"
  "$2" --root "$1" admin agent install >/dev/null
  "$2" --root "$1" admin agent start >/dev/null
}

# quiesce ROOT: before a timed step, write back the set-up's dirty pages and drop the page cache
# of the simulator's volume files. The set-up writes and copies volumes through the page cache,
# which a real storage's devices never hold; left there, the clean pages would be evicted inside
# the timed step (the plug-in releases a device's cache when it closes it: 55-75 ms for a 2 GiB
# snapshot copied just before).
quiesce() {
  sync
  python3 - "$1"/var/strata-sim/volumes/*.img <<'PY'
import os, sys
for path in sys.argv[1:]:
    if os.path.isfile(path):
        fd = os.open(path, os.O_RDONLY)
        try:
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        finally:
            os.close(fd)
PY
}
