# The whole USB/IP path of the lab with Linux at both ends: the VM's usbipd
# exports the gadget (hostfwd to the host's 127.0.0.1), the host carries it
# back into the VM over the virtio-serial port, vhci-hcd imports it and
# cdc_acm binds.  Then the gadget is unbound under the import and comes back.
source "$(dirname "$0")/common.sh"
vm 'detach_all; gadget_up && responder_up && gadget_export'
bridge "127.0.0.1:$PORT"
# The import resets the gadget, which hangs up the responder's tty until it
# reopens it: give it that long, as the driver cases do, and bound each
# answer generously (a bound against a hang, not a measurement).
chat="peer-agent chat \$(acm_tty 0525) timeout:20000 sleep:3000 'send:AT\\r' expect:OK 'send:ATD*99#\\r' expect:CONNECT echo:16384 \
sleep:1100 send:+++ expect:OK"
vm "attach \$(gadget_busid) && wait_for 100 acm_tty 0525 && $chat"
# Surprise removal under the import: the device leaves vhci-hcd's port.
vm 'gadget_down && wait_for 100 no_acm_tty 0525 && wait_for 100 no_import'
vm "gadget_up && gadget_export && attach \$(gadget_busid) && wait_for 100 acm_tty 0525 && $chat"
vm 'detach_all; gadget_unexport'
