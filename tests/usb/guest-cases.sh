# shellcheck shell=sh
# The cases of the USB test guest, sourced by guest-init.sh: each `case_X DIR` runs kvup as an
# ordinary user (tech or tech2, both in group dialout) on the /dev/ttyACM0 that the kernel's
# cdc_acm driver made for kvup-sim --usb (or the /dev/ttyUSB0 that ftdi_sio made for its FT232R
# bridge), and ends with status 0 only when every check held.
# A failed check prints one line that starts with "FAIL", then the evidence.
# /data/expected.sh (written by scripts/test-usb) gives each image's length and CRC-32.
# shellcheck source=/dev/null # made at run time, nothing to follow here
. /data/expected.sh
TOOL=/opt/kvup/bin/kvup-usb-guest
KVUP=/opt/kvup/bin/kvup
BUNDLE=/data/fw.kvfw
RUN_TIMEOUT_MS=20000

fail() {
    echo "FAIL $*"
    for f in "$D"/*.out "$D"/*.err "$D"/*.status "$D"/sim.log; do
        [ -f "$f" ] && { echo "--- $f"; tail -n 60 "$f"; }
    done
    exit 1
}
note() { echo "$*"; }

# Waits up to $2 s for a line matching $1 in the simulator's log, at least $3 times (default 1).
wait_log() {
    n=0
    while [ "$(grep -c -- "$1" "$D/sim.log" 2>/dev/null || true)" -lt "${3:-1}" ]; do
        n=$((n + 1))
        [ "$n" -gt $(($2 * 20)) ] && return 1
        sleep 0.05
    done
}

# Starts kvup-sim --usb with the given options and waits for its tty node, owned by dialout.
# Every log line is stamped with the guest's monotonic time in ms (kvup-usb-guest stamp).
sim_start() {
    rm -f "$D/sim.fifo"
    mkfifo "$D/sim.fifo"
    : > "$D/sim.log"
    $TOOL stamp < "$D/sim.fifo" >> "$D/sim.log" &
    STAMP=$!
    timeout -s KILL 60 kvup-sim --usb "$@" > "$D/sim.fifo" 2>&1 &
    SIM=$!
    sim_wait_tty 1
}

# Waits for the $1-th attach's tty node.
sim_wait_tty() {
    wait_log "USB device is /dev/tty" 15 "$1" || fail "no tty after attach $1"
    PORT=$(grep "USB device is /dev/tty" "$D/sim.log" | tail -n 1 | sed 's/.*USB device is //')
    n=0
    until [ -c "$PORT" ] && [ "$(stat -c %G:%a "$PORT")" = "dialout:660" ]; do
        n=$((n + 1))
        [ "$n" -gt 100 ] && fail "$PORT not made root:dialout 0660 by mdev"
        sleep 0.05
    done
}

# Asks for a summary now (SIGUSR1) and leaves it in $D/$1.
sim_summary() {
    before=$(grep -c "kvup-sim summary" "$D/sim.log")
    kill -USR1 "$SIM"
    wait_log "kvup-sim summary" 5 $((before + 1)) || fail "no summary on SIGUSR1"
    sleep 0.2
    last_summary > "$D/$1"
}

# Stops the simulator (SIGTERM: detach, summary, exit) and leaves the summary in $D/summary.
sim_stop() {
    kill -TERM "$SIM"
    (sleep 5; kill -KILL "$SIM" 2>/dev/null) &
    guard=$!
    wait "$SIM"
    rc=$?
    kill "$guard" 2>/dev/null
    [ "$rc" = 137 ] && fail "kvup-sim did not stop within 5 s of SIGTERM"
    wait "$STAMP"
    last_summary > "$D/summary"
}

# The last summary in the log, without the time stamps.
last_summary() {
    cut -d' ' -f2- "$D/sim.log" |
        awk '/^kvup-sim summary/ { text = "" } { text = text $0 "\n" } END { printf "%s", text }'
}

# kvup_as USER NAME ARGS...: kvup as USER; $D/NAME.out, .err and .status (exit, start, end ms).
kvup_as() {
    user=$1 name=$2
    shift 2
    $TOOL run "$user" $RUN_TIMEOUT_MS "$D/$name.status" $KVUP "$@" \
        > "$D/$name.out" 2> "$D/$name.err" < /dev/null
}

status_of() { cut -d' ' -f1 "$D/$1.status"; }
end_ms_of() { cut -d' ' -f3 "$D/$1.status"; }

expect_status() {
    got=$(status_of "$1")
    [ "$got" = 124 ] && fail "$1: still running after $((RUN_TIMEOUT_MS / 1000)) s, killed"
    [ "$got" = "$2" ] || fail "$1: exit status $got, $2 expected"
}

expect_err_line() {
    grep -qxF -- "$2" "$D/$1.err" || fail "$1: no line '$2' on standard error"
}

# The summary's line for one bank of one device, e.g. "bank B: 40000 bytes, CRC-32 0x..., 1 write(s)".
# A device's own line is "KC-0001 (controller, variant 1): running bank B"; the console lines
# listed above it may hold the bare serial (what the device printed, echoed back by a tty).
bank_line() {
    awk -v dev="$2" -v bank="$3:" '$1 == dev && $2 ~ /^\(/ { f = 1; next }
        f && $1 == "bank" && $2 == bank { sub(/^ +/, ""); print; exit }' "$D/$1"
}

running_bank() {
    awk -v dev="$2" '$1 == dev && $2 ~ /^\(/ { print $NF; exit }' "$D/$1"
}

# expect_image SUMMARY DEVICE BANK LEN CRC: the bank holds exactly that image, written once, and
# the device runs from it.
expect_image() {
    want="bank $3: $4 bytes, CRC-32 $5, 1 write(s)"
    got=$(bank_line "$1" "$2" "$3")
    [ "$got" = "$want" ] || fail "$2: '$got', '$want' expected"
    [ "$(running_bank "$1" "$2")" = "$3" ] || fail "$2 does not run from bank $3"
}

# expect_refused NAME: run NAME met a wrong password: exit 1 with kvup's message, the device
# refused one password, and no update session opened or bank written.
expect_refused() {
    expect_status "$1" 1
    expect_err_line "$1" "ERROR: incorrect installer password"
    grep -q "passwords refused 1x" "$D/summary" || fail "the device refused no password"
    grep -q "update sessions: 0" "$D/summary" || fail "an update session was opened"
    for bank in A B; do
        case "$(bank_line summary KC-0001 $bank)" in
        *", 0 write(s)") ;;
        *) fail "bank $bank written after a wrong password" ;;
        esac
    done
}

# expect_cut_untouched: the summaries "before" and "after" a cut transfer show the same banks,
# and the controller still runs bank A.
expect_cut_untouched() {
    for bank in A B; do
        [ "$(bank_line after KC-0001 $bank)" = "$(bank_line before KC-0001 $bank)" ] ||
            fail "bank $bank changed by the cut transfer: $(bank_line after KC-0001 $bank)"
    done
    [ "$(running_bank after KC-0001)" = A ] || fail "the controller no longer runs bank A"
}

# ms_after_unplug NAME: how many ms after the unplug fault run NAME ended; fails when the log
# has no time for the fault. The fault's time is the simulator's own (its "[ s.mmm]" log stamp)
# on the guest's clock: the lines that say when they were made reach the stamper a little later,
# so the smallest difference is the offset between the two clocks. The "detached" line itself
# comes after the detach, often after the run has already ended.
ms_after_unplug() {
    unplug_ms=$(awk '{ if (match($0, /\[ *[0-9]+\.[0-9]+\]/)) {
            t = substr($0, RSTART + 1, RLENGTH - 2) * 1000; off = $1 - t
            if (!seen || off < min) { min = off; seen = 1 }
            if ($0 ~ /fault: unplug at/ && !fault) fault = t } }
        END { if (fault) printf "%.3f", fault + min }' "$D/sim.log")
    [ -n "$unplug_ms" ] || return 1
    awk -v a="$unplug_ms" -v b="$(end_ms_of "$1")" 'BEGIN { printf "%.1f", b - a }'
}

# a. One update of the connected controller: the image in bank B, 115200 8N1, one DTR pulse of
# at least 50 ms, and nothing from kvup in the 150 ms after DTR was set.
case_a() {
    D=$1
    sim_start
    kvup_as tech run --port "$PORT" --password kelvane --firmware $BUNDLE --target self
    sim_stop
    expect_status run 0
    expect_image summary KC-0001 B "$V1B_LEN" "$V1B_CRC"
    if ! $TOOL check-reset "$D/summary" 1 > "$D/check.out"; then
        cat "$D/check.out"
        fail "the reset check flags kvup's run"
    fi
    grep -E "SET_LINE_CODING|SET_CONTROL_LINE_STATE|DTR cleared" "$D/summary"
}

# b. Fan-out, target omitted, two peers, the device at high speed (512-byte bulk packets): 3/3,
# and one good DTR pulse per installer-mode entry.
case_b() {
    D=$1
    sim_start --usb-speed high --peer KR-0100:reader:2 --peer KC-0200:controller:1:B
    kvup_as tech run --port "$PORT" --password kelvane --firmware $BUNDLE
    sim_stop
    expect_status run 0
    grep -qxF "3/3 device(s) updated successfully." "$D/run.out" || fail "no 3/3 line"
    expect_image summary KR-0100 B "$V2B_LEN" "$V2B_CRC"
    expect_image summary KC-0200 A "$V1A_LEN" "$V1A_CRC"
    expect_image summary KC-0001 B "$V1B_LEN" "$V1B_CRC"
    # The first entry reads the peer list; then one entry per device updated.
    grep -q "(installer mode ON 4x" "$D/summary" || fail "not 4 installer-mode entries"
    if ! $TOOL check-reset "$D/summary" 4 > "$D/check.out"; then
        cat "$D/check.out"
        fail "not one good DTR pulse per installer-mode entry"
    fi
    grep "DTR cleared" "$D/summary"
}

# c. A second kvup (another ordinary user) while the first runs: refused, the first unaffected.
case_c() {
    D=$1
    sim_start --chunk-delay 150
    kvup_as tech first --port "$PORT" --password kelvane --firmware $BUNDLE --target self &
    FIRST=$!
    wait_log "session 1:" 15 || fail "the first kvup started no session"
    kvup_as tech2 second --port "$PORT" --password kelvane --firmware $BUNDLE --target self
    wait "$FIRST"
    sim_stop
    expect_status second 1
    expect_err_line second "ERROR: could not open $PORT"
    [ "$(wc -l < "$D/second.err")" = 1 ] || fail "second: more than the one error line"
    awk -v a="$(end_ms_of second)" -v b="$(end_ms_of first)" 'BEGIN { exit !(a < b) }' ||
        fail "the second kvup did not end while the first ran"
    expect_status first 0
    expect_image summary KC-0001 B "$V1B_LEN" "$V1B_CRC"
    if ! $TOOL check-reset "$D/summary" 1 > "$D/check.out"; then
        cat "$D/check.out"
        fail "the first run's line settings or reset were disturbed"
    fi
    note "second: $(cat "$D/second.err")"
}

# d. Unplug mid-transfer: exit 1 within 1 s with the session's message, the running bank
# untouched; after the replug a fresh run updates the controller.
case_d() {
    D=$1
    sim_start --fault self:unplug:chunk=3,session=1 --replug-after 500
    sim_summary before
    kvup_as tech cut --port "$PORT" --password kelvane --firmware $BUNDLE --target self
    expect_status cut 1
    expect_err_line cut "ERROR: giving up on chunk 3 after 5 attempts"
    grep -q "USB device detached (unplug fault)" "$D/sim.log" || fail "the device never detached"
    took=$(ms_after_unplug cut) || fail "no time for the unplug fault in the log"
    note "kvup ended $took ms after the unplug"
    awk -v t="$took" 'BEGIN { exit !(t <= 1000) }' || fail "kvup took $took ms after the unplug"
    sim_wait_tty 2
    sim_summary after
    expect_cut_untouched
    kvup_as tech again --port "$PORT" --password kelvane --firmware $BUNDLE --target self
    sim_stop
    expect_status again 0
    expect_image summary KC-0001 B "$V1B_LEN" "$V1B_CRC"
    grep -q "USB: attached 2x, unplugged 1x" "$D/summary" || fail "not attached 2x, unplugged 1x"
}

# e. A wrong password: exit 1, nothing written. A bundle that does not load: exit 1 before the
# port is opened, so the device sees no open at all.
case_e() {
    D=$1
    sim_start
    kvup_as tech badbundle --port "$PORT" --password kelvane --firmware /data/bad.kvfw --target self
    sim_summary after-bad-bundle
    expect_status badbundle 1
    grep -q "^ERROR: " "$D/badbundle.err" || fail "badbundle: no error line"
    if grep -q "SET_CONTROL_LINE_STATE\|DTR cleared" "$D/after-bad-bundle"; then
        fail "the device saw an open for a bundle that does not load"
    fi
    kvup_as tech wrongpw --port "$PORT" --password not-the-one --firmware $BUNDLE --target self
    sim_stop
    expect_refused wrongpw
    note "bad bundle: $(cat "$D/badbundle.err")"
}

# f. The runner can fail: a host that opens the port and purges but never pulses DTR gets no
# boot prompt, and case a's reset check fails on what the device saw.
case_f() {
    D=$1
    sim_start
    $TOOL run tech $RUN_TIMEOUT_MS "$D/purge.status" $TOOL purge-only "$PORT" 3000 \
        > "$D/purge.out" 2> "$D/purge.err"
    sim_stop
    cat "$D/purge.out"
    expect_status purge 1
    grep -q "SET_CONTROL_LINE_STATE 0x0003" "$D/summary" || fail "the device never saw the open"
    if $TOOL check-reset "$D/summary" 1 > "$D/check.out"; then
        fail "the reset check passes a host that never pulses DTR"
    fi
    note "the reset check flags it, as it must:"
    cat "$D/check.out"
}

# g. The USB side fails in the middle of the console dialogue: the host's controller drops the
# device (vhci-hcd detach) while kvup's reset pulse holds DTR cleared. kvup must end with exit 1
# and its message, never hang.
case_g() {
    D=$1
    sim_start
    vport=$(grep "attached on vhci-hcd port" "$D/sim.log" | tail -n 1 | sed 's/.* port //')
    kvup_as tech cut --port "$PORT" --password kelvane --firmware $BUNDLE --target self &
    RUN=$!
    wait_log "usb: DTR cleared" 15 || fail "kvup's reset pulse never came"
    detach_ms=$($TOOL now)
    echo "$vport" > /sys/devices/platform/vhci_hcd.0/detach || fail "cannot detach port $vport"
    wait "$RUN"
    sim_stop
    expect_status cut 1
    expect_err_line cut "ERROR: device did not reach a ready CLI prompt after reset"
    took=$(awk -v a="$detach_ms" -v b="$(end_ms_of cut)" 'BEGIN { printf "%.1f", b - a }')
    note "kvup ended $took ms after the detach: $(cat "$D/cut.err")"
    awk -v t="$took" 'BEGIN { exit !(t <= 1000) }' || fail "kvup took $took ms after the detach"
}

# h. A device that misbehaves on the USB side ends kvup with exit 1 and a message, never a hang:
# one that stalls every bulk OUT transfer (nothing kvup sends arrives), and one that detaches in
# the middle of the control transfer of kvup's first DTR clear (the request is never answered).
case_h() {
    D=$1
    sim_start --usb-stall-out
    kvup_as tech stall --port "$PORT" --password kelvane --firmware $BUNDLE --target self
    sim_stop
    cp "$D/summary" "$D/stall.summary"
    expect_status stall 1
    expect_err_line stall "ERROR: device did not prompt for the installer password - is it actually a kelvane-fw-controller on this port?"
    grep -q "update sessions: 0" "$D/summary" || fail "stall: an update session was opened"
    note "stall: ended after $(awk '{ printf "%.0f", $3 - $2 }' "$D/stall.status") ms: $(cat "$D/stall.err")"

    sim_start --usb-unplug-on-dtr 1
    kvup_as tech dtr --port "$PORT" --password kelvane --firmware $BUNDLE --target self
    sim_stop
    expect_status dtr 1
    expect_err_line dtr "ERROR: device did not reach a ready CLI prompt after reset"
    grep -q "detached (unplug fault, on a DTR clear)" "$D/sim.log" || fail "dtr: the device never detached"
    took=$(awk '{ printf "%.0f", $3 - $2 }' "$D/dtr.status")
    note "detach on the DTR clear: ended after $took ms: $(cat "$D/dtr.err")"
    awk -v t="$took" 'BEGIN { exit !(t <= 3000) }' || fail "dtr: kvup took $took ms"
}

# i. A device that stops reading right after it answers chunk 0 (--fault self:deaf:chunk=0,
# answer=1): every later bulk OUT transfer stays pending in cdc_acm. kvup ends with exit 1 and
# its ERROR line within a few seconds of what the same run costs against a silent device
# (chunk-silent on every attempt), and its close does not wait for the transfers the device
# never takes (Linux's closing wait would hold it 30 s). After its last line kvup sends the
# abort and waits 2 s for an answer; what it takes beyond that is its close.
case_i() {
    D=$1
    sim_start --fault self:chunk-silent:chunk=1,attempt=0
    kvup_as tech silent --port "$PORT" --password kelvane --firmware $BUNDLE --target self
    sim_stop
    expect_status silent 1
    expect_err_line silent "ERROR: giving up on chunk 1 after 5 attempts"

    sim_start --fault self:deaf:chunk=0,answer=1
    rm -f "$D/deaf.fifo"
    mkfifo "$D/deaf.fifo"
    $TOOL stamp < "$D/deaf.fifo" > "$D/deaf.stamped" &
    stamp=$!
    $TOOL run tech $RUN_TIMEOUT_MS "$D/deaf.status" $KVUP --port "$PORT" --password kelvane \
        --firmware $BUNDLE --target self > "$D/deaf.out" 2> "$D/deaf.fifo" < /dev/null
    wait "$stamp"
    cut -d' ' -f2- "$D/deaf.stamped" > "$D/deaf.err"
    sim_stop
    grep -q "fault: deaf from chunk 0" "$D/sim.log" || fail "deaf: the device never stopped reading"
    expect_status deaf 1
    expect_err_line deaf "ERROR: giving up on chunk 1 after 5 attempts"
    silent_ms=$(awk '{ printf "%.0f", $3 - $2 }' "$D/silent.status")
    deaf_ms=$(awk '{ printf "%.0f", $3 - $2 }' "$D/deaf.status")
    last_ms=$(tail -n 1 "$D/deaf.stamped" | cut -d' ' -f1)
    after_ms=$(awk -v e="$(end_ms_of deaf)" -v l="$last_ms" 'BEGIN { printf "%.0f", e - l - 2000 }')
    note "silent device: ${silent_ms} ms; deaf device: ${deaf_ms} ms; after the abort's 2 s wait: ${after_ms} ms (the abort's write and the close)"
    grep -c "^WARNING" "$D/deaf.err" | grep -qx 5 || fail "deaf: not five warnings"
    note "$(sort "$D/deaf.err" | uniq -c | tr -s ' ' | tr '\n' ';')"
    awk -v d="$deaf_ms" -v s="$silent_ms" 'BEGIN { exit !(d <= s + 5000) }' ||
        fail "deaf: kvup took $deaf_ms ms, against a silent device $silent_ms ms"
    awk -v a="$after_ms" 'BEGIN { exit !(a <= 3000) }' ||
        fail "deaf: the close took up to $after_ms ms"
}

# j. A production line: four controllers on four vhci ports (ttyACM0 to 3), one kvup per port,
# all at once, with the recipe of the man page (xargs -P over the ports, the password on standard
# input from a file, a log per port), as the ordinary user tech. Each bank exact, each device one
# good DTR pulse; the wall time of the four against one run alone is printed, not judged.
case_j() {
    D=$1
    # tech's password file and log directory, as in the recipe.
    mkdir -p "$D/home/.config/kelvane" "$D/logs"
    printf 'kelvane\n' > "$D/home/.config/kelvane/installer-password"
    chown -R tech "$D/home" "$D/logs"
    chmod 600 "$D/home/.config/kelvane/installer-password"
    sim_start
    kvup_as tech solo --port "$PORT" --password kelvane --firmware $BUNDLE --target self
    sim_stop
    expect_status solo 0
    expect_image summary KC-0001 B "$V1B_LEN" "$V1B_CRC"
    solo_ms=$(awk '{ printf "%.0f", $3 - $2 }' "$D/solo.status")
    base=$D
    # k, not n: the helpers use n as their own counter.
    for k in 0 1 2 3; do
        mkdir -p "$base/dev$k"
        D=$base/dev$k
        sim_start
        eval "SIM$k=\$SIM STAMP$k=\$STAMP"
        echo "$PORT" > "$D/port"
    done
    D=$base
    # The man page's recipe, word for word but for the guest's tty names in place of
    # /dev/serial/by-id/* (the guest has no udev) and the bundle's path.
    cat > "$D/recipe.sh" <<'RECIPE'
printf '%s\n' /dev/ttyACM[0-3] | xargs -P 4 -I {} sh -c \
    'kvup --firmware /data/fw.kvfw --port "$1" --target self \
        < "$HOME/.config/kelvane/installer-password" > "kvup-${1##*/}.log" 2>&1' sh {}
RECIPE
    $TOOL run tech 60000 "$D/four.status" /bin/sh -c "cd $D/logs && HOME=$D/home exec sh $D/recipe.sh" \
        > "$D/four.out" 2> "$D/four.err"
    four_ms=$(awk '{ printf "%.0f", $3 - $2 }' "$D/four.status")
    for k in 0 1 2 3; do
        D=$base/dev$k
        eval "SIM=\$SIM$k STAMP=\$STAMP$k"
        sim_stop
    done
    D=$base
    # xargs ends with 0 only when every kvup did.
    expect_status four 0
    for k in 0 1 2 3; do
        port=$(cat "$D/dev$k/port")
        grep -qxF "Update complete - target is rebooting into the new firmware." \
            "$D/logs/kvup-${port##*/}.log" || fail "$port: no completion line in its log"
        expect_image "dev$k/summary" KC-0001 B "$V1B_LEN" "$V1B_CRC"
        if ! $TOOL check-reset "$D/dev$k/summary" 1 > "$D/dev$k/check.out"; then
            cat "$D/dev$k/check.out"
            fail "$port: not one good DTR pulse"
        fi
        note "$port: $(grep 'DTR cleared at' "$D/dev$k/summary" | head -n 1 | sed 's/^ *//')"
    done
    note "one kvup alone: $solo_ms ms; four in parallel: $four_ms ms; ratio $(awk -v a="$four_ms" -v b="$solo_ms" 'BEGIN { printf "%.2f", a / b }')"
}

# What the FT232R saw of a kvup run (summary $1): the settings in force when kvup's DTR pulse
# began (the close puts back what the port had, 9600 baud and XON/XOFF included, so the last ones
# are not kvup's), the pulse itself, and the latency timer. Prints the findings; fails on a fault.
check_ftdi() {
    awk '
        function ms(line) { match(line, /\[ *[0-9.]+ ms\]/); return substr(line, RSTART + 1, RLENGTH - 5) + 0 }
        / FTDI / { n++; at[n] = ms($0); text[n] = $0; sub(/^.* FTDI /, "", text[n]) }
        /DTR cleared at [0-9.]+ ms for / {
            pulses++
            if (!cleared) { cleared = $4 + 0; held = $7 + 0 }
        }
        END {
            for (i = 1; i <= n; i++) {
                split(text[i], w, " ")
                if (at[i] < cleared) { last[w[1]] = text[i] }
                if (!(w[1] in first)) { first[w[1]] = text[i] }
                if (w[1] == "SET_LATENCY_TIMER") { latency = latency " " w[2] }
            }
            printf "at the first open: %s; %s; %s\n", first["SET_BAUD_RATE"], first["SET_DATA"], first["SET_FLOW_CTRL"]
            printf "at the reset: %s; %s; %s\n", last["SET_BAUD_RATE"], last["SET_DATA"], last["SET_FLOW_CTRL"]
            printf "DTR pulses: %d, the first %.3f ms low; latency timer set to:%s ms\n", pulses, held, latency
            bad = 0
            if (last["SET_BAUD_RATE"] != "SET_BAUD_RATE 0x001A 0x0000 (115384.6 baud)") { print "FAIL not divisor 0x001A (115200)"; bad = 1 }
            if (last["SET_DATA"] !~ /\(8N1\)$/) { print "FAIL not 8N1"; bad = 1 }
            if (last["SET_FLOW_CTRL"] !~ /\(none\)$/) { print "FAIL flow control on"; bad = 1 }
            if (pulses != 1) { print "FAIL " pulses " DTR pulses, 1 expected"; bad = 1 }
            if (held < 40) { print "FAIL DTR low for only " held " ms"; bad = 1 }
            exit bad
        }' "$1"
}

# The transfer against the 115200 8N1 wire (summary $1): "RATIO TRANSFER_MS WIRE_MS ACK_TO_ACK_MS",
# as tools/kvup-measure counts the wire: every chunk frame (4108 bytes, the last one padded like
# the others) and its 12-byte ACK, the finalize frame and the DONE envelope.
efficiency() {
    awk -v len="$V1B_LEN" '
        / transfer [0-9.]+ ms/ { match($0, / transfer [0-9.]+ ms/); t = substr($0, RSTART + 10, RLENGTH - 13) + 0 }
        /ACK to ACK:/ { match($0, /median [0-9.]+ ms/); a = substr($0, RSTART + 7, RLENGTH - 10) + 0 }
        END {
            chunks = int((len + 4095) / 4096)
            wire = (chunks * (4108 + 12) + 21 + 8) * 10 * 1000 / 115200
            if (t > 0) printf "%.4f %.1f %.1f %.1f\n", wire / t, t, wire, a
        }' "$1"
}

# k. One update through the FT232R bridge (kvup-sim --usb-bridge ft232r, ftdi_sio's
# /dev/ttyUSB0): the image exact; the chip saw divisor 0x001A (115200), 8N1 and no flow control
# when kvup reset the controller with one DTR low of at least 40 ms; kvup asked for the 1 ms
# latency timer and its close put the 16 ms back. The port is left as found (9600 baud, as
# ftdi_sio made it) but without echo, so nothing the controller says while a close runs goes back
# to it.
case_k() {
    D=$1
    sim_start --usb-bridge ft232r
    case "$PORT" in /dev/ttyUSB*) ;; *) fail "the bridge became $PORT, not a ttyUSB" ;; esac
    kvup_as tech run --port "$PORT" --password kelvane --firmware $BUNDLE --target self
    # What the chip saw of kvup alone: stty's own open and close would add a DTR pulse.
    sim_summary kvup.summary
    stty -F "$PORT" -a > "$D/stty.out" 2>&1 || fail "stty could not read $PORT"
    sim_stop
    expect_status run 0
    grep -q "^speed 9600 baud" "$D/stty.out" || fail "kvup left $PORT at: $(head -n 1 "$D/stty.out")"
    grep -qw -- "-echo" "$D/stty.out" || fail "kvup left echo on on $PORT"
    expect_image kvup.summary KC-0001 B "$V1B_LEN" "$V1B_CRC"
    grep -q "(installer mode ON 1x" "$D/kvup.summary" || fail "not one installer-mode entry"
    check_ftdi "$D/kvup.summary" > "$D/check.out" || { cat "$D/check.out"; fail "$(grep FAIL "$D/check.out" | head -n 1)"; }
    cat "$D/check.out"
    grep -q "latency timer set to:.* 1 16 ms" "$D/check.out" ||
        fail "kvup did not ask for the 1 ms latency timer and put the 16 ms back"
}

# l. What the latency timer costs: the same update through the bridge by a kvup that leaves the
# chip's timer at 16 ms (kvup-default-latency, a test build) and by kvup as shipped. Prints both
# figures against the 115200 8N1 wire and the median ACK-to-ACK. The share of the wire is a
# figure, not a verdict (TCG's pace moves with the host's load; on a quiet host the shipped kvup
# reads 0.990 to 0.998): the case fails when the shipped kvup's ACKs do not come sooner than
# the 16 ms timer's, the effect the request exists for.
case_l() {
    D=$1
    for who in default shipped; do
        bin=$KVUP
        [ "$who" = default ] && bin=/opt/kvup/bin/kvup-default-latency
        sim_start --usb-bridge ft232r --quiet
        $TOOL run tech $RUN_TIMEOUT_MS "$D/$who.status" $bin --port "$PORT" --password kelvane \
            --firmware $BUNDLE --target self > "$D/$who.out" 2> "$D/$who.err" < /dev/null
        sim_stop
        cp "$D/summary" "$D/$who.summary"
        expect_status "$who" 0
        expect_image "$who.summary" KC-0001 B "$V1B_LEN" "$V1B_CRC"
    done
    grep -q "SET_LATENCY_TIMER 1 ms" "$D/default.summary" && fail "the default build set the latency timer"
    grep -q "SET_LATENCY_TIMER 1 ms" "$D/shipped.summary" || fail "kvup did not set the latency timer"
    # shellcheck disable=SC2046 # the four figures become $1 to $4
    set -- $(efficiency "$D/default.summary")
    [ $# = 4 ] || fail "no transfer time in the default run's summary"
    note "figure: 16 ms timer, request off: $1 of the wire (transfer $2 ms, wire $3 ms), ACK to ACK $4 ms (median)"
    slow_ack=$4
    # shellcheck disable=SC2046 # the four figures become $1 to $4
    set -- $(efficiency "$D/shipped.summary")
    [ $# = 4 ] || fail "no transfer time in the shipped run's summary"
    note "figure: kvup as shipped: $1 of the wire (transfer $2 ms, wire $3 ms), ACK to ACK $4 ms (median)"
    awk -v r="$1" 'BEGIN { exit !(r < 0.99) }' && note "figure: that is under 0.99 of the wire on this run"
    awk -v a="$4" -v b="$slow_ack" 'BEGIN { exit !(a + 4 < b) }' ||
        fail "ACK to ACK $4 ms as shipped, against $slow_ack ms with the 16 ms timer"
}
