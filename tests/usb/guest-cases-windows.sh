# shellcheck shell=sh
# The Windows cases of the USB test guest, sourced by guest-init.sh after guest-cases.sh: kvup.exe
# under the host's Wine (the host's /usr, mounted read-only) as the ordinary user tech, with
# COM5 a link to /dev/ttyACM0 in tech's Wine prefix. Wine turns kvup.exe's serial calls into
# ioctls on the real tty, and cdc_acm turns those into the requests the simulated device sees.
EXE=/opt/kvup/kvup.exe
WIN_BUNDLE=Z:/data/fw.kvfw

# as_wine TIMEOUT_MS STATUS_FILE PROGRAM [ARG...]: a Wine program as tech, in tech's prefix.
as_wine() {
    t=$1 st=$2
    shift 2
    $TOOL run tech "$t" "$st" /bin/env HOME=/home/tech USER=tech WINEPREFIX=/home/tech/.wine \
        WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= "$@"
}

# A persistent server: without it every wine call starts a new Wine session (seconds under TCG).
# The first kvup.exe --version then pays for the prefix's start-up once.
wine_start() {
    as_wine 20000 /tmp/wineserver.status /usr/bin/wineserver -p ||
        { echo "FAIL wineserver -p: status $(cat /tmp/wineserver.status)"; exit 1; }
    as_wine 200000 /tmp/wine-version.status /usr/bin/wine $EXE --version \
        > /tmp/wine-version.out 2>&1 < /dev/null
    tr -d '\r' < /tmp/wine-version.out
    grep -q '^kvup v' /tmp/wine-version.out ||
        { echo "FAIL kvup.exe --version: status $(cat /tmp/wine-version.status)"; exit 1; }
    echo "kvup.exe --version took $(awk '{ printf "%.0f", $3 - $2 }' /tmp/wine-version.status) ms"
}

# kvupexe NAME ARGS...: kvup.exe as tech; $D/NAME.out, .err (without Wine's CRs) and .status.
kvupexe() {
    name=$1
    shift
    as_wine "$RUN_TIMEOUT_MS" "$D/$name.status" /usr/bin/wine "$EXE" "$@" \
        > "$D/$name.out.raw" 2> "$D/$name.err.raw" < /dev/null
    tr -d '\r' < "$D/$name.out.raw" > "$D/$name.out"
    tr -d '\r' < "$D/$name.err.raw" > "$D/$name.err"
}

# Wine clears HUPCL and leaves the line as kvup.exe set it (DTR and RTS stay up after it exits),
# and cdc_acm sends a line coding only when it changes: the runner puts the tty back to 9600 with
# HUPCL after kvup.exe, as the Linux build does at its close, so the next run's 115200 reaches
# the device. The summary then ends with that open: DTR set, 9600 8N1 and the close's DTR and
# RTS clear, which the reset check takes for a close putting settings back.
line_back() {
    [ -c "$PORT" ] && stty -F "$PORT" 9600 hupcl 2>/dev/null
    true
}

expect_reset() {
    if ! $TOOL check-reset "$D/summary" "$1" > "$D/check.out"; then
        cat "$D/check.out"
        fail "$2"
    fi
    cat "$D/check.out"
}

took_ms() { awk '{ printf "%.0f", $3 - $2 }' "$D/$1.status"; }

# wa. One update of the connected controller: exit 0, bank B exact, 115200 8N1 and one good DTR
# pulse, judged by the same reset check as the Linux build.
case_wa() {
    D=$1
    sim_start
    kvupexe run --port COM5 --password kelvane --firmware $WIN_BUNDLE --target self
    line_back
    sim_stop
    expect_status run 0
    expect_image summary KC-0001 B "$V1B_LEN" "$V1B_CRC"
    expect_reset 1 "the reset check flags kvup.exe's run"
    grep -E "SET_LINE_CODING|SET_CONTROL_LINE_STATE|DTR cleared" "$D/summary"
    note "kvup.exe took $(took_ms run) ms"
}

# wb. Fan-out over two peers: 3/3, and one good DTR pulse per installer-mode entry.
case_wb() {
    D=$1
    sim_start --usb-speed high --peer KR-0100:reader:2 --peer KC-0200:controller:1:B
    kvupexe run --port COM5 --password kelvane --firmware $WIN_BUNDLE
    line_back
    sim_stop
    expect_status run 0
    grep -qxF "3/3 device(s) updated successfully." "$D/run.out" || fail "no 3/3 line"
    expect_image summary KR-0100 B "$V2B_LEN" "$V2B_CRC"
    expect_image summary KC-0200 A "$V1A_LEN" "$V1A_CRC"
    expect_image summary KC-0001 B "$V1B_LEN" "$V1B_CRC"
    grep -q "(installer mode ON 4x" "$D/summary" || fail "not 4 installer-mode entries"
    expect_reset 4 "not one good DTR pulse per installer-mode entry"
    grep "DTR cleared" "$D/summary"
    note "kvup.exe took $(took_ms run) ms"
}

# wc. A wrong password: exit 1 with its message, no update session, nothing written.
case_wc() {
    D=$1
    sim_start
    kvupexe wrongpw --port COM5 --password not-the-one --firmware $WIN_BUNDLE --target self
    line_back
    sim_stop
    expect_refused wrongpw
    note "kvup.exe took $(took_ms wrongpw) ms"
}

# wd. A device that stops reading after it answers chunk 0: the bulk OUT transfers stay pending
# in cdc_acm, so kvup.exe's writes through Wine meet a tty that takes nothing more. Its ERROR line
# must come within a few seconds of the same run against a device that takes every byte and
# answers nothing (the write bound holds through Wine), and it must end, never hang. Under Wine
# its close is Linux's close of the tty, which waits up to closing_wait (30 s) for the transfers
# that the device never takes: kvup.exe cannot cut that wait short through the Win32 calls.
case_wd() {
    D=$1
    sim_start --fault self:chunk-silent:chunk=1,attempt=0
    kvupexe silent --port COM5 --password kelvane --firmware $WIN_BUNDLE --target self
    line_back
    sim_stop
    expect_status silent 1
    expect_err_line silent "ERROR: giving up on chunk 1 after 5 attempts"

    sim_start --fault self:deaf:chunk=0,answer=1
    rm -f "$D/deaf.fifo"
    mkfifo "$D/deaf.fifo"
    $TOOL stamp < "$D/deaf.fifo" > "$D/deaf.stamped" &
    stamp=$!
    as_wine 75000 "$D/deaf.status" /usr/bin/wine $EXE --port COM5 \
        --password kelvane --firmware $WIN_BUNDLE --target self > "$D/deaf.out" 2> "$D/deaf.fifo" \
        < /dev/null
    wait "$stamp"
    tr -d '\r' < "$D/deaf.stamped" | cut -d' ' -f2- > "$D/deaf.err"
    line_back
    sim_stop
    grep -q "fault: deaf from chunk 0" "$D/sim.log" || fail "deaf: the device never stopped reading"
    [ "$(status_of deaf)" = 124 ] && fail "deaf: kvup.exe still running after 75 s, killed"
    expect_status deaf 1
    expect_err_line deaf "ERROR: giving up on chunk 1 after 5 attempts"
    start_ms=$(cut -d' ' -f2 "$D/deaf.status")
    error_ms=$(tr -d '\r' < "$D/deaf.stamped" | awk -v s="$start_ms" '/ ERROR: / { printf "%.0f", $1 - s; exit }')
    note "silent device: $(took_ms silent) ms; deaf device: ERROR line after $error_ms ms, exit after $(took_ms deaf) ms"
    note "$(sort "$D/deaf.err" | uniq -c | tr -s ' ' | tr '\n' ';')"
    awk -v d="$error_ms" -v s="$(took_ms silent)" 'BEGIN { exit !(d <= s + 5000) }' ||
        fail "deaf: the ERROR line came after $error_ms ms, against a silent device $(took_ms silent) ms"
    # After the ERROR line: the abort's write (its own bound) and 2 s wait for an answer, then
    # the close (closing_wait, 30 s).
    awk -v d="$(took_ms deaf)" -v e="$error_ms" 'BEGIN { exit !(d - e <= 2000 + 2000 + 30000 + 6000) }' ||
        fail "deaf: kvup.exe ended $(($(took_ms deaf) - error_ms)) ms after its ERROR line"
}

# we. Unplug mid-transfer: exit 1 with its message soon after the unplug, the running bank
# untouched. Through Wine a read of the hung-up tty reports no data rather than an error, so
# kvup.exe sees a silent device and failing writes, and gives up after its retries: seconds,
# where the Linux build, which sees the hang-up, takes under one.
case_we() {
    D=$1
    sim_start --fault self:unplug:chunk=3,session=1 --replug-after 500
    sim_summary before
    kvupexe cut --port COM5 --password kelvane --firmware $WIN_BUNDLE --target self
    expect_status cut 1
    expect_err_line cut "ERROR: giving up on chunk 3 after 5 attempts"
    grep -q "USB device detached (unplug fault)" "$D/sim.log" || fail "the device never detached"
    took=$(ms_after_unplug cut) || fail "no time for the unplug fault in the log"
    note "kvup.exe ended $took ms after the unplug: $(tr '\n' ';' < "$D/cut.err")"
    awk -v t="$took" 'BEGIN { exit !(t <= 10000) }' || fail "kvup.exe took $took ms after the unplug"
    sim_wait_tty 2
    line_back
    sim_summary after
    expect_cut_untouched
    sim_stop
}

# wf. A second opener while kvup.exe holds the port: a second kvup.exe in the same Wine session,
# then the Linux kvup as another user. Windows refuses a second CreateFile on a COM port (sharing
# mode 0). What Wine on a real tty does is recorded, not assumed: each second opener was either
# refused with "could not open", and then the first run ends exact, or let in, and then the
# device shows its own reset pulse in the middle of the first run's session.
case_wf() {
    D=$1
    sim_start --chunk-delay 300
    kvupexe first --port COM5 --password kelvane --firmware $WIN_BUNDLE --target self &
    FIRST=$!
    wait_log "session 1:" 30 || fail "the first kvup.exe started no session"
    resets0=$(grep -c "reset: held while DTR is cleared" "$D/sim.log")
    kvupexe second --port COM5 --password kelvane --firmware $WIN_BUNDLE --target self
    resets1=$(grep -c "reset: held while DTR is cleared" "$D/sim.log")
    kvup_as tech2 linux --port "$PORT" --password kelvane --firmware "$BUNDLE" --target self
    resets2=$(grep -c "reset: held while DTR is cleared" "$D/sim.log")
    wait "$FIRST"
    line_back
    sim_stop
    expect_status first "$(status_of first)" # a hang fails here
    # The second kvup.exe must have tried while the first held the port; the Linux kvup comes
    # after it and may find the port free again.
    awk -v a="$(cut -d' ' -f2 "$D/second.status")" -v b="$(end_ms_of first)" 'BEGIN { exit !(a < b) }' ||
        fail "the first kvup.exe ended before the second one tried"
    awk -v a="$(cut -d' ' -f2 "$D/linux.status")" -v b="$(end_ms_of first)" 'BEGIN { exit !(a < b) }' ||
        note "the Linux kvup started after the first kvup.exe had ended"
    verdict() { # NAME RESETS_BEFORE RESETS_AFTER OPEN_ERROR
        if grep -qxF "$4" "$D/$1.err"; then
            [ "$3" = "$2" ] || fail "$1: refused, yet the device was reset meanwhile"
            echo "refused ($4)"
        else
            [ "$3" -gt "$2" ] || fail "$1: neither refused nor seen by the device"
            echo "LET IN: opened the port, pulsed DTR ($(($3 - $2))x), ended $(status_of "$1"): $(grep '^ERROR' "$D/$1.err" | head -n 1)"
        fi
    }
    v2=$(verdict second "$resets0" "$resets1" "ERROR: could not open COM5")
    v3=$(verdict linux "$resets1" "$resets2" "ERROR: could not open $PORT")
    note "second kvup.exe (same user, same Wine session): $v2"
    note "Linux kvup (tech2): $v3"
    note "first kvup.exe: exit $(status_of first): $(grep '^ERROR' "$D/first.err" | head -n 1)"
    case "$v2$v3" in
    *"LET IN"*)
        [ "$(status_of first)" != 0 ] || note "the first run survived the second opener's reset"
        ;;
    *)
        expect_status first 0
        expect_image summary KC-0001 B "$V1B_LEN" "$V1B_CRC"
        ;;
    esac
}
