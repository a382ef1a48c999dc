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
fail() { printf 'FAIL: %s\n----- screen -----\n%s\n------------------\n' "$1" "$(T capture-pane -p -t "$PANE" 2>/dev/null)"; exit 1; }
ok() { echo "ok: $1"; passed=$((passed + 1)); }
screen() { T capture-pane -p -t "$PANE"; }
# Waits (at most $2 tenths of a second) until the screen shows the text $1.
wait_for() {
    local text=$1 tries=${2:-${WAIT_TRIES:-50}}
    for _ in $(seq "$tries"); do
        if screen | grep -qF -- "$text"; then return 0; fi
        sleep 0.1
    done
    return 1
}
# Fails with the reason $1 unless the screen comes to show each further text.
expect() { local why=$1 text; shift; for text; do wait_for "$text" || fail "$why (no '$text')"; done; }
# Fails with the reason $1 unless the screen now holds each further line.
has_lines() { local why=$1 line now; now=$(screen); shift; for line; do grep -qxF -- "$line" <<<"$now" || fail "$why (no line '$line')"; done; }
keys() { T send-keys -t "$PANE" "$@"; sleep 0.15; }
