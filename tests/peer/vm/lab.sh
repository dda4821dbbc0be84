# Routines for the peer lab's commands, sourced before each one.
#
# The gadget: the ACM function over configfs on dummy_hcd's controller.  Its
# device shows on dummy_hcd's own bus, where cdc_acm binds to it unless
# usbip-host is bound in its place to export it.

G=/sys/kernel/config/usb_gadget/peer
VID=0x0525
PID=0xa4a7

# The bus id ("3-1") of the gadget's device on the dummy host controller.
gadget_busid() {
  for d in /sys/devices/platform/dummy_hcd.0/usb*/*-1; do
    [ -f "$d/idVendor" ] && basename "$d" && return 0
  done
  return 1
}

# wait_for TENTHS CONDITION...: polls until CONDITION holds, at most TENTHS/10 s.
wait_for() {
  n=$1
  shift
  while [ "$n" -gt 0 ]; do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
    n=$((n - 1))
  done
  echo "lab: timed out waiting for: $*" >&2
  return 1
}

gadget_up() {
  if [ ! -d $G ]; then
    mkdir $G
    echo $VID >$G/idVendor
    echo $PID >$G/idProduct
    echo 0x0200 >$G/bcdUSB
    mkdir $G/strings/0x409
    echo "Linux" >$G/strings/0x409/manufacturer
    echo "peer lab ACM gadget" >$G/strings/0x409/product
    echo "0001" >$G/strings/0x409/serialnumber
    mkdir $G/configs/c.1
    echo 100 >$G/configs/c.1/MaxPower
    mkdir $G/functions/acm.GS0
    ln -s $G/functions/acm.GS0 $G/configs/c.1/
  fi
  [ -n "$(cat $G/UDC)" ] || echo dummy_udc.0 >$G/UDC
  wait_for 100 gadget_busid >/dev/null
}

gadget_gone() { ! gadget_busid >/dev/null; }

gadget_down() {
  [ -d $G ] && [ -n "$(cat $G/UDC)" ] && echo "" >$G/UDC
  wait_for 100 gadget_gone
}

# The responder on the gadget's tty, once.
responder_up() {
  [ -f /run/responder.pid ] && kill -0 "$(cat /run/responder.pid)" 2>/dev/null && return 0
  peer-agent modem /dev/ttyGS0 </dev/null >/run/responder.log 2>&1 &
  echo $! >/run/responder.pid
}

responder_down() {
  [ -f /run/responder.pid ] || return 0
  kill "$(cat /run/responder.pid)" 2>/dev/null
  rm -f /run/responder.pid
}

# usbipd on the VM's port 3240 (the host reaches it through hostfwd).
usbipd_up() {
  [ -f /run/usbipd.pid ] && kill -0 "$(cat /run/usbipd.pid)" 2>/dev/null && return 0
  usbipd -4 </dev/null >/run/usbipd.log 2>&1 &
  echo $! >/run/usbipd.pid
  wait_for 50 sh -c 'netstat -ltn | grep -q ":3240 "'
}

# Exports the gadget: usbip-host takes it from cdc_acm.
gadget_export() {
  gadget_up && usbipd_up || return 1
  busid=$(gadget_busid)
  case "$(readlink "/sys/bus/usb/devices/$busid/driver")" in
    */usbip-host) return 0 ;;
  esac
  usbip bind -b "$busid"
}

gadget_unexport() {
  busid=$(gadget_busid) || return 0
  usbip unbind -b "$busid" 2>/dev/null || true
}

# The virtio-serial port that carries USB/IP to the host's unix socket,
# served on the VM's 127.0.0.1:3241 for `usbip attach`.
relay_up() {
  [ -f /run/relay.pid ] && kill -0 "$(cat /run/relay.pid)" 2>/dev/null && return 0
  port=
  for p in /sys/class/virtio-ports/*; do
    [ "$(cat "$p/name" 2>/dev/null)" = vrmdm.usbip ] && port=/dev/$(basename "$p")
  done
  [ -n "$port" ] || { echo "lab: no virtio-serial port vrmdm.usbip" >&2; return 1; }
  peer-agent relay 3241 "$port" </dev/null >/run/relay.log 2>&1 &
  echo $! >/run/relay.pid
  wait_for 50 sh -c 'netstat -ltn | grep -q ":3241 "'
}

# attach BUSID: imports BUSID from the host's server through the relay.
attach() {
  relay_up && usbip --tcp-port 3241 attach -r 127.0.0.1 -b "$1"
}

detach_all() {
  for p in $(usbip port 2>/dev/null | sed -n 's/^Port \([0-9]*\):.*/\1/p'); do
    usbip detach -p "$p"
  done
}

no_acm_tty() { ! acm_tty "$1"; }

# Whether vhci-hcd has no imported device left.
no_import() { ! usbip port 2>/dev/null | grep -q '^Port'; }

# The tty cdc_acm made for a device of the given vendor (the first if none).
acm_tty() {
  for t in /sys/class/tty/ttyACM*; do
    [ -e "$t" ] || continue
    dev=$(readlink -f "$t/device/..")
    if [ -z "$1" ] || [ "$(cat "$dev/idVendor" 2>/dev/null)" = "$1" ]; then
      echo "/dev/$(basename "$t")"
      return 0
    fi
  done
  return 1
}
