#!/bin/busybox sh
# /init of the USB test guest: the kernel's own USB modules, mdev for the tty nodes, then every
# case of guest-cases.sh, each under its own time-out. Every line meant for the host starts with
# "KVUP-USB: "; the guest powers off at the end whatever happened.
/bin/busybox --install -s /bin
export PATH=/bin:/usr/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs -o mode=1777 tmp /tmp
report() { echo "KVUP-USB: $*"; }

report "init at $(cut -d' ' -f1 /proc/uptime) s"
for m in usb-common usbcore usbip-core vhci-hcd cdc-acm; do
    if ! timeout 20 insmod "/lib/modules/$m.ko"; then
        report "setup FAIL insmod $m"
        poweroff -f
    fi
done
if [ ! -d /sys/devices/platform/vhci_hcd.0 ]; then
    report "setup FAIL no /sys/devices/platform/vhci_hcd.0"
    poweroff -f
fi
ip link set lo up
# Without a uevent helper the nodes would be root's alone; mdev gives ttyACM* to dialout.
mdev -d
report "modules loaded at $(cut -d' ' -f1 /proc/uptime) s"

# KVUP_USB_CASES on the kernel command line picks cases (e.g. a,c); default all.
cases=$(echo "${KVUP_USB_CASES:-a,b,c,d,e,f,g,h,i}" | tr , ' ')
case_timeout="${KVUP_USB_CASE_TIMEOUT:-40}"
for c in $cases; do
    report "begin $c"
    mkdir -p "/tmp/case-$c"
    timeout -s KILL "$case_timeout" sh -c ". /guest-cases.sh; case_$c /tmp/case-$c" \
        > "/tmp/case-$c/out" 2>&1
    rc=$?
    sed 's/^/  | /' "/tmp/case-$c/out"
    # A case that was killed leaves its simulator behind: the next case needs a free device.
    for p in $(pidof kvup-sim kvup); do kill -KILL "$p" 2>/dev/null; done
    if [ "$rc" = 0 ]; then
        report "result $c pass"
    elif [ "$rc" = 137 ]; then
        report "result $c FAIL hung: killed after ${case_timeout} s"
    else
        report "result $c FAIL$(grep '^FAIL' "/tmp/case-$c/out" | head -n 1 | cut -c5-)"
    fi
done
report "done at $(cut -d' ' -f1 /proc/uptime) s"
poweroff -f
