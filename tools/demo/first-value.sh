#!/usr/bin/env bash
# How long a newcomer waits for the demo's first live value: clones the repository into a fresh
# folder, runs `./run demo` there and prints the seconds from the start to the first value the
# client shows with good quality, with the wall, user and system time of the whole demo.
#   tools/demo/first-value.sh [REPOSITORY]   (default: this checkout's repository)
# Debian's packages must be present already (./run installs them, which this does not time
# apart). No compiler cache is used: CCACHE_DISABLE is set for the run.
set -euo pipefail

repository=${1:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
work=$(mktemp -d "${TMPDIR:-/tmp}/movra-first-value.XXXXXX")
trap 'rm -rf "$work"' EXIT

git clone --quiet "$repository" "$work/clone"
cd "$work/clone"
export CCACHE_DISABLE=1
unset CMAKE_CXX_COMPILER_LAUNCHER CMAKE_C_COMPILER_LAUNCHER MOVRA_BUILD_DIR
start=$(date +%s.%N)
first=
# Each line of the demo is passed on, and the first good value is timed as it arrives.
while IFS= read -r line; do
    printf '%s\n' "$line"
    if [ -z "$first" ] && [[ $line =~ PKE[0-9A-F]{4}\.[A-Z0-9]{3}\.[A-Za-z]+\ +[-0-9.e+]+\ +good ]]; then
        first=$(date +%s.%N)
    fi
done < <( { /usr/bin/time -f 'demo: wall %e s, user %U s, system %S s' ./run demo; } 2>&1)
if [ -z "$first" ]; then
    echo "no good value came" >&2
    exit 1
fi
printf 'first live value after %.1f s (from the start of ./run demo in a fresh clone)\n' \
    "$(awk -v a="$start" -v b="$first" 'BEGIN { print b - a }')"
