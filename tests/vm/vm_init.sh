#!/bin/busybox sh
# The guest's first process: mounts what the Bluetooth tools need, loads the modules, runs the
# scenario with its output on the second serial port and hands its status to qemu.
/bin/busybox --install -s /bin
export PATH=/bin:/sbin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mkdir -p /dev/pts /run/dbus /run/lock
mount -t devpts devpts /dev/pts
mount -t tmpfs tmp /tmp
hostname vesk-vm
ip link set lo up

set -a
. /etc/scenario.env
set +a
status=99
{
    for ko in $(cat /etc/modules); do
        insmod "$ko" || echo "VM: insmod $ko failed"
    done
    sh /scenario.sh
    status=$?
} >/dev/ttyS1 2>&1 </dev/null
# The last close of the port above waits until all of it is sent.

# qemu's isa-debug-exit device ends the emulator with (status << 1) | 1.
printf "\\$(printf %03o $((status & 127)))" | dd of=/dev/port bs=1 seek=244 count=1 2>/dev/null
poweroff -f
