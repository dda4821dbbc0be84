# The VM's own pair on dummy_hcd: cdc_acm against the gadget's ACM function
# and the responder.  It proves the lab's judges before they judge us, and
# that f_acm reports its tty's open and close as carrier changes.
source "$(dirname "$0")/common.sh"
vm 'gadget_unexport; gadget_up && responder_up && wait_for 100 acm_tty 0525 && acm_tty 0525'
vm "peer-agent chat \$(acm_tty 0525) carrier:1 'send:AT\\r' expect:OK 'send:ATD*99#\\r' expect:CONNECT \
echo:65536 sleep:1100 send:+++ expect:OK rtt:50"
# Each change waits for the judge to have seen the one before.
vm "rm -f /tmp/carrier.log; peer-agent chat \$(acm_tty 0525) timeout:20000 carrier:1 carrier:0 carrier:1 \
>/tmp/carrier.log 2>&1 & chat=\$!
wait_for 200 grep -q 'ok carrier:1' /tmp/carrier.log && responder_down &&
wait_for 200 grep -q 'ok carrier:0' /tmp/carrier.log && responder_up
wait \$chat; status=\$?; cat /tmp/carrier.log; exit \$status"
