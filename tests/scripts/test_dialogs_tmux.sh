#!/usr/bin/env bash
# Drives the terminal dialogs in a real terminal: tmux runs the demo program,
# send-keys types, capture-pane reads the screen. Every wait is bounded.
set -euo pipefail

BIN=${KAVREL_BIN_DIR:?KAVREL_BIN_DIR is not set}
DEMO="$BIN/kavrel-dialog-demo"
[ -x "$DEMO" ] || { echo "missing $DEMO"; exit 1; }
command -v tmux >/dev/null || { echo "tmux is not installed (scripts/bootstrap installs it)"; exit 1; }

WORK=$(mktemp -d) SOCKET="kavrel-dialogs-$$" PANE=demo
source "$(dirname "${BASH_SOURCE[0]}")/tmux_lib.sh"

start_demo() {
    T kill-session -t demo >/dev/null 2>&1 || true
    T new-session -d -s demo -x 110 -y 40 \
        "cd '$WORK' && ${ENV_PREFIX:-} KAVREL_SERIAL_PORTS='${PORTS:-}' TERM=screen '$DEMO' --data-path '$WORK/${DATA:-data}' $*; echo DEMO-EXIT=\$?; sleep 60"
}

mkdir -p "$WORK/data"
T new-session -d -s keeper "sleep 600" # keeps the server up while the demo sessions come and go

# --- the Modbus RS485 connection dialog -------------------------------------
start_demo parameter ModbusRS485
expect "the parameter dialog did not come up" "Modbus address" "[ OK ]"
screen | grep -q "Baud rate *< 19200 >" || fail "baud rate does not start at 19200"
keys Tab Right                 # baud rate: 19200 -> 38400
expect "Right did not choose the next baud rate" "< 38400 >"
keys Tab Right                 # character format: E,8,1 -> O,8,1
expect "Right did not choose the next character format" "< O,8,1 >"
keys Tab Space                 # node guarding: deactivate (the address is off: point to point)
expect "Space did not tick the check box" "[x] Deactivate"
keys Tab Space                 # do not show again
expect "Space did not tick don't-show" "[x] Do not show"
keys Tab Left                  # protocol: point to point -> multidrop enables the address
expect "Left did not choose multidrop" "< Multidrop"
keys BTab BTab BTab BSpace 1 7 # back to the address edit
expect "typing into the address edit" "[17__"
keys Up                        # the spin box steps it
expect "Up did not step the address" "[18__"
keys BSpace BSpace 3 0 0 Enter # out of the spin range: OK is refused, the dialog stays
expect "an address out of range was not refused" "in the range 1-247" "Modbus address"
ok "edits, combos, check boxes and the spin range work from the keyboard"
keys BSpace BSpace BSpace 1 8 Enter
expect "OK did not end the dialog" "DEMO-EXIT=0"
has_lines "after OK" result=1 Baudrate=38400 Format=O,8,1 DeviceAddress=18 NodeGuard/Enabled=0 DontShow=1
grep -q "<DeviceAddress>18</DeviceAddress>" "$WORK/data/xml/LastSettings.xml" || fail "settings file lacks the address"
grep -q "<ModbusRS485_Parity>O</ModbusRS485_Parity>" "$WORK/data/xml/LastSettings.xml" || fail "settings file lacks the parity"
ok "OK stores the values and they reach the settings file"

# DontShow=1 was stored, but the demo insists (mode 1), so it shows; stored values are the start. Esc cancels.
start_demo parameter ModbusRS485
expect "the stored baud rate is not the start value" "Modbus address" "< 38400 >"
keys Tab Left Escape
expect "Esc did not end the dialog" "DEMO-EXIT=1"
has_lines "Esc changed the baud rate" Baudrate=38400
ok "Esc cancels and leaves the settings alone"

# --- the scan range dialog ---------------------------------------------------
start_demo range ModbusRS485 --text 1-5
expect "the range dialog did not come up" "Address range" "[1-5"
keys BSpace BSpace BSpace 0 - 9 Enter
expect "a range outside the bounds was not refused, naming the bounds, the dialog open" "is not valid" "1-247" "[ OK ]"
keys BSpace BSpace BSpace 2 - 9 , 1 2 Enter
expect "OK did not end the range dialog" "DEMO-EXIT=0"
has_lines "the range was not taken" range=2-9,12 code=0x0
ok "range dialog refuses 0-9 and takes 2-9,12 on OK"

# --- German texts from a library in a folder named DE ------------------------
LIB=${KAVREL_LIB_DIR:-$BIN/../lib}
if [ -e "$LIB/libkavrel.so" ]; then
    mkdir -p "$WORK/DE"
    cp -a "$LIB"/libkavrel.so* "$LIB/xml" "$WORK/DE/"
    ENV_PREFIX="LANG=C.UTF-8 LD_LIBRARY_PATH='$WORK/DE'" DATA=de start_demo parameter VorlaneRS485
    expect "the German dialog did not come up" "Knotenüberwachung"
    screen | grep -q "Geräteadresse  *\[1_" || fail "German caption and its edit are not aligned"
    keys Escape
    expect "Esc did not end the German dialog" "DEMO-EXIT=1"
    ok "a library in a folder named DE shows the German texts"
fi

# --- the scan progress dialog on simulated drives -----------------------------
SIM="$BIN/kavrel-drive-sim"
if [ -x "$SIM" ] && command -v socat >/dev/null; then
    socat pty,raw,echo=0,link="$WORK/ttyA" pty,raw,echo=0,link="$WORK/ttyB" 2>/dev/null & PIDS+=($!)
    for _ in $(seq 50); do [ -e "$WORK/ttyA" ] && [ -e "$WORK/ttyB" ] && break; sleep 0.1; done
    [ -e "$WORK/ttyA" ] || fail "socat made no pseudo-terminal pair"
    "$SIM" --serial "$WORK/ttyB" --ids 2,4 >"$WORK/sim.log" 2>&1 & PIDS+=($!)
    PORTS="$WORK/ttyA"
    # Pseudo-terminals take no parity: the scan settings get N,8,1 first, from a script.
    echo "219 233=$WORK/ttyA 243=N,8,1 ok" >"$WORK/format.txt"
    KAVREL_SERIAL_PORTS="$PORTS" timeout 20 "$DEMO" --data-path "$WORK/data" --script "$WORK/format.txt" \
        parameter ModbusRS485 --scan >"$WORK/format.out" || fail "the scan settings were not stored"
    start_demo scan ModbusRS485 --text 1-5
    expect "the progress dialog did not come up" "Scanning the network"
    wait_for "ID 2 found" 100 || fail "the progress dialog did not name drive 2"
    wait_for "DEMO-EXIT=0" 150 || fail "the finished scan did not end the dialog with OK"
    has_lines "not every id advanced the bar, or drives 2 and 4 were not connected" steps=5/5 devices=2
    ok "progress dialog follows the scan and ends with OK when it finishes"
    start_demo scan ModbusRS485 --text 5-120
    wait_for "ID 6 not found" 150 || fail "the long scan did not get going"
    keys Escape
    wait_for "DEMO-EXIT=1" 100 || fail "Esc did not stop the scan promptly"
    has_lines "cancel did not end the dialog with cancel" result=2
    ok "Esc in the progress dialog stops the scan"
fi

echo "$passed passed, 0 failed"
