#!/bin/sh
# Boots a throw-away Linux guest with the kernel's Bluetooth stack and runs one scenario in it.
#   vm_boot.sh [-e NAME=VALUE]... WORKDIR SCENARIO [FILE...]
# The guest is the host's own Debian kernel under software emulation (the kernel's Bluetooth
# modules are not in this machine's own kernel) and an initramfs assembled here from the host's
# busybox, BlueZ tools, dnsmasq and their libraries, plus each FILE (our programs, with their
# libraries) in /bin. SCENARIO runs as the guest's /scenario.sh, with each NAME=VALUE (no
# blanks) in its environment; all it prints comes back in WORKDIR/result.log (the guest's second
# serial port), the kernel's console in WORKDIR/console.log.
# Exit status: the scenario's own, 124 when the guest did not finish in time (VM_TIMEOUT
# seconds, 170 unless set), 77 with a line "SKIP: ..." when this machine lacks what it takes.
set -eu

settings=""
while [ "${1:-}" = "-e" ]; do
    settings="$settings$2
"
    shift 2
done
mkdir -p "$1"
work=$(cd "$1" && pwd)
scenario=$(readlink -f "$2")
shift 2
files=""
for f in "$@"; do
    files="$files $(readlink -f "$f")"
done
here=$(cd "$(dirname "$0")" && pwd)
timeout_s=${VM_TIMEOUT:-170}

skip() {
    echo "SKIP: $*"
    exit 77
}

# The guest runs this machine's own kernel and programs on an emulated x86-64 processor.
arch=$(uname -m)
[ "$arch" = x86_64 ] || skip "missing on this $arch machine: an amd64 kernel image (linux-image-amd64)" \
    "and amd64 programs for the guest that qemu-system-x86 boots"

# The newest installed kernel whose modules include the virtual HCI driver.
kver=""
for k in $(ls /lib/modules 2>/dev/null | sort -rV); do
    if [ -f "/boot/vmlinuz-$k" ] &&
        modprobe -S "$k" --show-depends hci_vhci >/dev/null 2>&1; then
        kver=$k
        break
    fi
done
missing=""
command -v qemu-system-x86_64 >/dev/null || missing="$missing qemu-system-x86_64 (qemu-system-x86)"
[ -n "$kver" ] || missing="$missing a kernel image with Bluetooth modules (linux-image-amd64)"
for tool in busybox:busybox-static btvirt:bluez-test-tools hciconfig:bluez sdptool:bluez \
    dbus-daemon:dbus cpio:cpio dnsmasq:dnsmasq-base xz:xz-utils modprobe:kmod; do
    command -v "${tool%%:*}" >/dev/null 2>&1 || missing="$missing ${tool%%:*} (${tool#*:})"
done
[ -x /usr/libexec/bluetooth/bluetoothd ] || missing="$missing bluetoothd (bluez)"
[ -z "$missing" ] || skip "missing on this machine:$missing; scripts/setup --tests installs them"

root=$work/root
rm -rf "$root"
mkdir -p "$root"
cd "$root"
mkdir -p bin sbin etc proc sys dev tmp run root var/lib/bluetooth lib64 usr/libexec/bluetooth
ln -s ../run var/run
# Debian is merged-/usr: binaries may ask for their libraries under either name.
ln -s ../lib usr/lib

cp "$(command -v busybox)" bin/busybox
[ "$(head -c 4 bin/busybox | od -An -c | tr -d ' ')" = '177ELF' ] || skip "busybox is no binary"
if ldd bin/busybox >/dev/null 2>&1; then
    skip "busybox is not the static build (busybox-static)"
fi

# Each program and every library it loads, at the paths the loader looks for them.
add_program() { # source destination
    cp -L "$1" ".$2"
    ldd "$1" | awk '/=> \// {print $3} /^[ \t]*\// {print $1}' | while read -r lib; do
        [ -e ".$lib" ] && continue
        mkdir -p ".$(dirname "$lib")"
        cp -L "$lib" ".$lib"
    done
}
for tool in btvirt hciconfig sdptool dbus-daemon dnsmasq; do
    add_program "$(command -v "$tool")" "/bin/$tool"
done
add_program /usr/libexec/bluetooth/bluetoothd /usr/libexec/bluetooth/bluetoothd
for f in $files; do
    add_program "$f" "/bin/$(basename "$f")"
done

# The Bluetooth modules in load order. btvirt's controllers need the kernel's crypto sockets.
for m in bluetooth hci_vhci rfcomm ecb cmac algif_hash algif_skcipher; do
    modprobe -S "$kver" --show-depends "$m"
done | awk '$1 == "insmod" && !seen[$2]++ {print $2}' >"$work/modules"
while read -r ko; do
    mkdir -p ".$(dirname "$ko")"
    cp "$ko" ".$ko"
done <"$work/modules"
cp "$work/modules" etc/modules

cat >etc/passwd <<'EOF'
root:x:0:0:root:/root:/bin/sh
nobody:x:65534:65534:nobody:/nonexistent:/bin/false
EOF
cat >etc/group <<'EOF'
root:x:0:
nogroup:x:65534:
EOF
echo 5f0e4c7ad1b2439e8a6d2c3b1e0f9a87 >etc/machine-id
# A system bus that lets bluetoothd own its name and sdptool talk to it.
cat >etc/dbus-system.conf <<'EOF'
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=/run/dbus/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
EOF
printf '%s' "$settings" >etc/scenario.env
cp "$here/vm_init.sh" init
cp "$scenario" scenario.sh
chmod +x init scenario.sh

# An uncompressed archive: unpacking it costs the emulated guest nothing.
find . | cpio -o -H newc --quiet >"$work/initramfs.cpio"
cd "$work"

# The kernel's own image, without the compressed wrapper whose unpacking is slow when
# emulated: the payload is an xz stream that starts at its magic.
offset=$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "/boot/vmlinuz-$kver" | head -1 | cut -d: -f1)
[ -n "$offset" ] || skip "the kernel image /boot/vmlinuz-$kver holds no xz payload"
tail -c +"$((offset + 1))" "/boot/vmlinuz-$kver" | xz -dcq 2>/dev/null >vmlinux || true
[ "$(head -c 4 vmlinux | od -An -c | tr -d ' ')" = '177ELF' ] ||
    skip "no kernel could be unpacked from /boot/vmlinuz-$kver"

# The guest reports its status through the debug-exit port: qemu ends with (status << 1) | 1.
rm -f console.log result.log
set +e
timeout -k 5 "$timeout_s" qemu-system-x86_64 -accel tcg -cpu max -smp 2 -m 1024 \
    -nodefaults -no-user-config -display none -no-reboot \
    -serial file:console.log -serial file:result.log \
    -device isa-debug-exit,iobase=0xf4,iosize=0x04 \
    -kernel vmlinux -initrd initramfs.cpio \
    -append "console=ttyS0 quiet loglevel=4 panic=-1 rdinit=/init"
rc=$?
set -e
[ $rc -eq 124 ] || [ $rc -eq 137 ] && exit 124
[ $((rc & 1)) -eq 1 ] || exit 125
exit $((rc >> 1))
