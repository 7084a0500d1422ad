#!/bin/busybox sh
# shellcheck shell=dash # busybox sh is an ash; dash, its relative, is what shellcheck knows
# /init of the USB test guest: the kernel's own USB modules, mdev for the tty nodes, then every
# case of guest-cases.sh, each under its own time-out. Every line meant for the host starts with
# "KVUP-USB: "; the guest powers off at the end whatever happened.
/bin/busybox --install -s /bin
export PATH=/bin:/opt/kvup/bin:/usr/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs -o mode=1777 tmp /tmp
report() { echo "KVUP-USB: $*"; }

report "init at $(cut -d' ' -f1 /proc/uptime) s"
for m in usb-common usbcore usbip-core vhci-hcd cdc-acm usbserial ftdi_sio; do
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
# The Windows cases run the host's Wine from the host's /usr, shared read-only over virtio-9p.
if [ "${KVUP_USB_WINDOWS:-0}" = 1 ]; then
    for m in virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci netfs \
        fscache 9pnet 9pnet_virtio 9p; do
        if ! timeout 20 insmod "/lib/modules/$m.ko"; then
            report "setup FAIL insmod $m"
            poweroff -f
        fi
    done
    if ! mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=262144 hostusr /usr; then
        report "setup FAIL cannot mount the host's /usr"
        poweroff -f
    fi
    mkdir -p /dev/shm
    mount -t tmpfs -o mode=1777 shm /dev/shm
fi
report "modules loaded at $(cut -d' ' -f1 /proc/uptime) s"

# KVUP_USB_CASES on the kernel command line picks cases (e.g. a,c); default all.
cases=$(echo "${KVUP_USB_CASES:-a,b,c,d,e,f,g,h,i,j,k,l}" | tr , ' ')
case_timeout="${KVUP_USB_CASE_TIMEOUT:-40}"
wine_ready=0
for c in $cases; do
    # Wine's first start (its server and the prefix's registry) is paid once, before the first
    # Windows case, under its own time-out.
    case "$c" in
    w*)
        if [ "$wine_ready" = 0 ]; then
            wine_ready=1
            timeout -s KILL 240 sh -c ". /guest-cases.sh; . /guest-cases-windows.sh; wine_start" \
                > /tmp/wine-start.out 2>&1
            rc=$?
            sed 's/^/  | /' /tmp/wine-start.out
            if [ "$rc" = 0 ]; then
                report "wine ready at $(cut -d' ' -f1 /proc/uptime) s"
            else
                report "wine FAIL to start (status $rc) at $(cut -d' ' -f1 /proc/uptime) s"
                wine_ready=2
            fi
        fi
        ;;
    esac
    report "begin $c"
    began=$(cut -d' ' -f1 /proc/uptime)
    mkdir -p "/tmp/case-$c"
    # kvup.exe under Wine is slower, and one of its cases waits out Linux's closing_wait.
    t=$case_timeout
    case "$c" in wd) t=$((case_timeout * 3)) ;; w*) t=$((case_timeout * 2)) ;; esac
    timeout -s KILL "$t" sh -c ". /guest-cases.sh; . /guest-cases-windows.sh; case_$c /tmp/case-$c" \
        > "/tmp/case-$c/out" 2>&1
    rc=$?
    took=$(awk -v a="$began" '{ printf "%.1f", $1 - a }' /proc/uptime)
    sed 's/^/  | /' "/tmp/case-$c/out"
    report "took $c $took s"
    # A case that was killed leaves its simulator behind: the next case needs a free device.
    for p in $(pidof kvup-sim kvup kvup.exe); do kill -KILL "$p" 2>/dev/null; done
    if [ "$rc" = 0 ]; then
        report "result $c pass"
    elif [ "$rc" = 137 ]; then
        report "result $c FAIL hung: killed after ${t} s"
    else
        report "result $c FAIL$(grep '^FAIL' "/tmp/case-$c/out" | head -n 1 | cut -c5-)"
    fi
done
if [ "$wine_ready" != 0 ]; then
    timeout 10 /opt/kvup/bin/kvup-usb-guest run tech 8000 /tmp/wine-stop.status \
        /bin/env HOME=/home/tech WINEPREFIX=/home/tech/.wine /usr/bin/wineserver -k
fi
report "done at $(cut -d' ' -f1 /proc/uptime) s"
poweroff -f
