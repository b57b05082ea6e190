#!/bin/sh
# The bitmap volume tool (create, query, delete) of the simulated storage: every argument goes to
# strata-sim unchanged. The root is the parent of this script's directory.
root=$(CDPATH= cd -- "$(dirname -- "$0")/.." && pwd) || exit 127
exec "$root/bin/strata-sim" --root "$root" --as qrm -- "$@"
