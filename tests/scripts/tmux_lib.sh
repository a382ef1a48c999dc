# Shared by the tests that drive a program in a real terminal through tmux.
# The sourcing script sets WORK (a scratch folder, removed at exit), SOCKET
# (its own tmux server) and PANE (the session the program runs in), and may
# set WAIT_TRIES; it adds the pids of its background helpers to PIDS.
PIDS=()
T() { tmux -L "$SOCKET" -f /dev/null "$@"; }
cleanup() {
    T kill-server >/dev/null 2>&1 || true
    for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$WORK"
}
trap cleanup EXIT

passed=0
failed=0
fail() {
    echo "FAIL: $1"
    echo "----- screen -----"
    T capture-pane -p -t "$PANE" 2>/dev/null || true
    echo "------------------"
    failed=$((failed + 1))
    exit 1
}
ok() { echo "ok: $1"; passed=$((passed + 1)); }

# Waits (at most $2 tenths of a second) until the screen shows the text $1.
wait_for() {
    local text=$1 tries=${2:-${WAIT_TRIES:-50}}
    for _ in $(seq "$tries"); do
        if T capture-pane -p -t "$PANE" | grep -qF -- "$text"; then return 0; fi
        sleep 0.1
    done
    return 1
}
keys() { T send-keys -t "$PANE" "$@"; sleep 0.15; }
