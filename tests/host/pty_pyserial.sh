#!/usr/bin/env bash
# python3-serial through `vrmdm pty`: settings, flush, AT, dialling.
VRMDM=$1
source "$(dirname "$0")/pty_common.sh"
# Debian's python3 has the serial module; a python of one's own may not.
python=/usr/bin/python3
"$python" -c 'import serial' 2>/dev/null || { echo "python3-serial is not installed" >&2; exit 1; }

start_server
"$python" "$(dirname "$0")/pyserial_client.py" "$link" || fail "the pyserial client failed"
stop_server

# The client's settings reached the modem on the wire.
expect_log "ioctl SET_BAUD_RATE in=00c20100 -> STATUS_SUCCESS"
expect_log "ioctl SET_LINE_CONTROL in=020008 -> STATUS_SUCCESS"
expect_log "modem line coding 115200,2,0,8"
expect_log "ioctl SET_BAUD_RATE in=00e10000 -> STATUS_SUCCESS"
expect_log "modem line coding 57600,2,0,8"
# reset_input_buffer() is a flush of the input: a receive purge.
expect_log "ioctl PURGE in=0a000000 -> STATUS_SUCCESS"
echo PASS
