# Sourced by the tests that run in a private network namespace.
#
# zem_netns_enter "TOOLS" "$@": unless already inside one, checks for unshare,
# ip, nft and TOOLS, and runs the calling script again in a new network
# namespace (as an unprivileged user namespace where plain root is refused);
# exits 77 (skipped) where neither is allowed.
zem_netns_enter() {
    tools=$1
    shift
    [ "${ZEM_IN_NETNS:-}" = "1" ] && return 0
    for tool in unshare ip nft $tools; do
        command -v "$tool" >/dev/null 2>&1 || { echo "skipped: $tool is not installed"; exit 77; }
    done
    if ! unshare -n true 2>/dev/null; then
        if ! unshare -rn true 2>/dev/null; then
            echo "skipped: no permission to make a network namespace"
            exit 77
        fi
        exec env ZEM_IN_NETNS=1 unshare -rn sh "$0" "$@"
    fi
    exec env ZEM_IN_NETNS=1 unshare -n sh "$0" "$@"
}

# A scratch folder ($work) removed at exit with every process in $pids, and
# fail(), which shows the outputs kept there.
zem_netns_scratch() {
    work=$(mktemp -d)
    pids=""
    trap zem_netns_cleanup EXIT
}
zem_netns_cleanup() {
    for p in $pids; do kill "$p" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$work"
}
fail() {
    echo "FAIL: $*"
    for f in "$work"/*.out "$work"/*.err "$work"/*.jsonl; do [ -f "$f" ] && { echo "--- $f"; cat "$f"; }; done
    exit 1
}
