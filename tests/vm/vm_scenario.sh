#!/bin/sh
# The guest's scenario: four virtual controllers on one virtual air. The station scans with
# hci0; hci1 is one of the maker's devices that answers on its serial port, hci2 one whose
# serial port refuses the connection, hci3 one that offers its serial port on channel 3 only.
# Between the last two, hci0 goes down for a while and comes back.
# Prints "VM-DEVICE <role> <address>" for each device, "VM-CPU-DOWN <ticks> <seconds>" for the
# station's CPU time while hci0 was down, then the station's log between "VM-LOG-BEGIN" and
# "VM-LOG-END". Exit status 0 once the log shows every device's outcome,
# 1 when the guest could not be set up, 2 when the outcomes did not all come in time.
set -u
log=/tmp/vesk_bt-log
# The eight bytes that the answering device sends.
answer=ABCDEFGH

now() { cut -d' ' -f1 /proc/uptime; }
say() { echo "VM: [$(now)] $*"; }
die() {
    say "$*"
    for f in /tmp/btvirt.out /tmp/bluetoothd.out /tmp/station.out; do
        [ -s "$f" ] && { echo "--- $f"; tail -20 "$f"; }
    done
    exit 1
}
# wait_for SECONDS COMMAND...: true once COMMAND succeeds.
wait_for() {
    n=$(($1 * 10))
    shift
    while [ "$n" -gt 0 ]; do
        "$@" 2>/dev/null && return 0
        sleep 0.1
        n=$((n - 1))
    done
    return 1
}
addr_of() { hciconfig "$1" | sed -n 's/.*BD Address: \([0-9A-F:]*\).*/\1/p'; }
logged() { grep -qF -- "$1" "$log"; }

btvirt -l4 >/tmp/btvirt.out 2>&1 &
wait_for 10 test -e /sys/class/bluetooth/hci3 || die "btvirt made no four controllers"

dbus-daemon --config-file=/etc/dbus-system.conf --fork --nopidfile ||
    die "no system bus"
/usr/libexec/bluetooth/bluetoothd -n -C >/tmp/bluetoothd.out 2>&1 &
wait_for 10 test -S /run/sdp || die "bluetoothd serves no SDP"
say "bluetoothd up"

# The station takes the first adapter that is up: only hci0 is, until the station has it.
hciconfig hci0 up || die "hci0 does not come up"
for n in 1 2 3; do hciconfig hci$n down; done
station=${STATION:-vm_station}
"$station" -l "$log" -p 9000 >/tmp/station.out 2>&1 &
wait_for 30 logged "Scaning Start" || die "the scan window did not open"
say "station scanning"

# btvirt hands ACL data to the other controller under the sender's connection handle, and the
# two ends number their links apart once hci0 holds a second link: the devices come on the air
# one at a time, each once hci0 has no link left.
links_idle() { ! ls /sys/class/bluetooth | grep -q '^hci0:'; }
# prepare HCI SP-CHANNEL CLASS: a device of the maker's with a serial-port record, not yet
# visible; sets $a to its address.
prepare() {
    wait_for 30 links_idle || say "hci0 still holds a link"
    hciconfig "$1" up || die "$1 does not come up"
    a=$(addr_of "$1")
    hciconfig "$1" class "$3"
    # The maker's serial modules pair the old way; without Secure Simple Pairing a link at
    # the lowest security level asks for no authentication, which btvirt's pairing does not
    # complete reliably.
    hciconfig "$1" sspmode 0
    sdptool -i "$1" add --channel="$2" SP >/dev/null || die "no serial-port record on $1"
}
named_and_visible() {
    hciconfig "$1" name | grep -qF "'$2'" && hciconfig "$1" | grep -q ISCAN
}
# on_air HCI ROLE: named for its own address and answering inquiries.
on_air() {
    a=$(addr_of "$1")
    name=btdremol-$(echo "$a" | cut -d: -f5,6 | tr -d :)
    # bluetoothd renames an adapter and resets its scan mode as it comes up.
    for i in 1 2 3 4 5; do
        hciconfig "$1" name "$name"
        hciconfig "$1" piscan
        named_and_visible "$1" "$name" && break
        sleep 0.5
    done
    named_and_visible "$1" "$name" || die "$1 is not named and visible"
    echo "VM-DEVICE $2 $a"
}
report_of() { echo "Device report ID: 0008$(echo "$1" | tr -d : | tr A-F a-f)"; }

prepare hci1 1 0x5a020c
vm_rfcomm_peer "$a" 1 "$answer" >/tmp/peer.out 2>&1 &
wait_for 5 grep -q listening /tmp/peer.out || die "the serial port of hci1 does not listen"
on_air hci1 answers
wait_for 40 logged "$(report_of "$a") PAIRED: OK OBR: OK" || say "no report from $a"
prepare hci3 3 0x240404
on_air hci3 channel3
wait_for 40 logged "Connect failed for $a [No service found]" || say "no outcome for $a"
# The adapter goes down in the middle of an inquiry (the station starts the next one right
# after its list pass) and comes back; the station must scan on, and not spin meanwhile.
pid=$(pidof "$(basename "$station")")
cpu_ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
hciconfig hci0 down
before=$(cpu_ticks)
sleep 14
echo "VM-CPU-DOWN $(($(cpu_ticks) - before)) 14"
hciconfig hci0 up || die "hci0 does not come back"
say "hci0 back"
prepare hci2 1 0x000000
on_air hci2 refuses
# The refusing device reports once its last sighting lies 30 seconds back.
device hci2 refuses 1 0x000000
wait_for 70 logged "$(report_of "$a") PAIRED: ERROR OBR: ERROR"
status=$?
[ $status -eq 0 ] && say "every outcome logged" || say "not every outcome came in time"
status=$((status * 2))

echo "--- peer"
cat /tmp/peer.out
echo "--- station output"
cat /tmp/station.out
echo "VM-LOG-BEGIN"
cat "$log"
echo "VM-LOG-END"
exit $status
