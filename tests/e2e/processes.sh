# Sourced by the end-to-end scripts. pids_matching PATTERN: the Linux processes whose command line
# matches the shell pattern. Wine runs a Windows program as a Linux process whose command line
# holds the program's path and arguments, so a run's own processes are found by its folder.
pids_matching() {
    for dir in /proc/[0-9]*; do
        cmdline=$(tr '\0' ' ' 2>/dev/null <"$dir/cmdline") || continue
        case $cmdline in
            $1) echo "${dir#/proc/}" ;;
        esac
    done
}
