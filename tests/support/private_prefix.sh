# Sourced by tests under Wine (POSIX sh). private_prefix DIR copies the build's prefix, as
# cmake/wine-run finds it, to DIR/prefix and exports WINEPREFIX there: the test gets a wineserver
# of its own, and what it changes in the registry never reaches the prefix the other tests share
# (or copy in turn: its wineserver saves the registry to disk only now and then, so a copy can
# catch an entry that was already taken back).
private_prefix() {
    source_prefix=${WINEPREFIX:-}
    if [ -z "$source_prefix" ]; then
        dir=$(pwd)
        while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
        source_prefix=$dir/wineprefix
    fi
    cp -a "$source_prefix" "$1/prefix" || return 1
    WINEPREFIX=$1/prefix
    export WINEPREFIX
}
