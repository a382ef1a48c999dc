#!/usr/bin/env bash
# kavrel --dialog in a real terminal: tmux runs the CLI against the drive
# simulator, send-keys answers the library's dialogs, capture-pane reads them.
# Every wait is bounded.
set -euo pipefail

BIN=${KAVREL_BIN_DIR:?KAVREL_BIN_DIR is not set}
KAVREL="$BIN/kavrel"
SIM="$BIN/kavrel-drive-sim"
[ -x "$KAVREL" ] && [ -x "$SIM" ] || { echo "kavrel or kavrel-drive-sim is not built"; exit 77; }
command -v tmux >/dev/null || { echo "tmux is not installed (scripts/bootstrap installs it)"; exit 77; }

WORK=$(mktemp -d) SOCKET="kavrel-cli-dialog-$$" PANE=cli WAIT_TRIES=80
source "$(dirname "${BASH_SOURCE[0]}")/tmux_lib.sh"

run_cli() {
    T kill-session -t cli >/dev/null 2>&1 || true
    T new-session -d -s cli -x 110 -y 40 \
        "cd '$WORK' && TERM=screen '$KAVREL' --data-path '$WORK/data' $*; echo CLI-EXIT=\$?; sleep 60"
}

"$SIM" --tcp 127.0.0.1:0 --ids 1-3 >"$WORK/sim.out" 2>"$WORK/sim.err" & PIDS+=($!)
for _ in $(seq 100); do grep -qx ready "$WORK/sim.out" 2>/dev/null && break; sleep 0.1; done
grep -qx ready "$WORK/sim.out" || fail "the simulator did not start"
PORT=$(head -n 1 "$WORK/sim.out"); PORT=${PORT##*:}
T new-session -d -s keeper "sleep 600"

# --- no --protocol: the protocol selection, then the connection dialog ----------
run_cli identify --dialog --id 2 --host 127.0.0.1 --tcp-port "$PORT"
expect "the protocol selection did not come up" "Select a protocol" "Modbus TCP"
keys Down Down Down Down Down Down Enter
expect "the connection dialog did not follow the protocol selection" "IP address"
screen | grep -q "IP address *\[127.0.0.1" || fail "--host is not the dialog's starting value"
screen | grep -q "Port *\[$PORT" || fail "--tcp-port is not the dialog's starting value"
keys Enter
expect "OK did not connect and identify drive 2" "CLI-EXIT=0" "serial number: 12345602"
ok "protocol selection leads to the connection dialog with the flags as starting values; OK identifies the drive"

# --- scan: the range dialog refuses a bad text, then scans what it is given ------
run_cli scan --dialog --protocol ModbusTCP --host 127.0.0.1 --tcp-port "$PORT"
expect "scan did not show the connection dialog" "IP address"
keys Enter
expect "scan did not show the range dialog" "Address range"
keys BSpace BSpace BSpace BSpace BSpace 0 - 4 Enter
expect "a range below the bounds was not refused" "is not valid"
keys BSpace BSpace BSpace 1 - 4 Enter
wait_for "CLI-EXIT=0" 150 || fail "the scan of the range given did not finish"
has_lines "id 4 was not tried" "id 4: not found"
expect "the summary is wrong" "scan finished: 3 of 4 ids answered (1, 2, 3)"
ok "the range dialog's text is the range scanned"

# --- Esc anywhere cancels with the dialog's code and touches no drive ------------
run_cli read --dialog --protocol ModbusTCP --host 127.0.0.1 --tcp-port "$PORT" --id 1 --param 2.1
expect "read did not show the connection dialog" "IP address"
keys Escape
expect "Esc did not end the command with 0x80040403" "CLI-EXIT=1" "(0x80040403)"
ok "Esc in the connection dialog ends the command with 0x80040403"

echo "$passed passed, 0 failed"
