#!/usr/bin/env bash
# How long `./run COMMAND` takes a newcomer: clones the repository into a fresh folder and runs
# `./run COMMAND` there without a compiler cache, then prints the wall, user and system time of the
# whole run beside its own step lines (each tier's build and test seconds). The clone is removed
# afterwards unless --keep is given.
#   tools/timing/fresh-run.sh [--keep] COMMAND [REPOSITORY]   e.g. fresh-run.sh test
# Debian's packages must be present already. Measure on a quiet machine: the build is most of the
# time and shares the processors with anything else that runs.
set -euo pipefail

keep=
if [ "${1:-}" = --keep ]; then
    keep=1
    shift
fi
command=${1:?usage: fresh-run.sh [--keep] COMMAND [REPOSITORY]}
repository=${2:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
work=$(mktemp -d "${TMPDIR:-/tmp}/movra-fresh-run.XXXXXX")
[ -n "$keep" ] || trap 'rm -rf "$work"' EXIT

git clone --quiet "$repository" "$work/clone"
cd "$work/clone"
echo "fresh clone of $(git log -1 --format='%h %s') in $work/clone; $(nproc) processors," \
     "load $(cut -d' ' -f1-3 /proc/loadavg)"
export CCACHE_DISABLE=1
unset CMAKE_CXX_COMPILER_LAUNCHER CMAKE_C_COMPILER_LAUNCHER MOVRA_BUILD_DIR
status=0
/usr/bin/time -f "./run $command: wall %e s, user %U s, system %S s" ./run "$command" || status=$?
echo "exit $status; load afterwards $(cut -d' ' -f1-3 /proc/loadavg)"
exit $status
