"""A serial client as programs write them with pyserial, against the port."""
import sys
import time

import serial


class Reader:
    """Reads the port into a buffer and consumes it token by token."""

    def __init__(self, port):
        self.port = port
        self.buffer = b""

    def until(self, token, limit=20.0):
        end = time.monotonic() + limit
        while token not in self.buffer and time.monotonic() < end:
            self.buffer += self.port.read(256)
        if token not in self.buffer:
            sys.exit("expected %r, got %r" % (token, self.buffer))
        cut = self.buffer.index(token) + len(token)
        seen, self.buffer = self.buffer[:cut], self.buffer[cut:]
        return seen


def settings_session(port, reader):
    """Line settings, AT commands and data mode at two speeds."""
    port.reset_input_buffer()
    port.write(b"AT\r")
    if reader.until(b"OK\r\n") != b"AT\r\r\nOK\r\n":
        sys.exit("unexpected answer to AT")

    port.write(b"AT+CGMI\r")
    reader.until(b"Velmar")
    reader.until(b"OK\r\n")

    port.baudrate = 57600
    port.write(b"ATD*99#\r")
    reader.until(b"CONNECT 7200000\r\n")

    # Data mode: the modem loops bytes back, all 256 values unchanged.
    payload = bytes(range(256))
    port.write(payload)
    echoed = reader.until(payload[-16:])
    if not echoed.endswith(payload):
        sys.exit("data mode lost or changed bytes: %r" % echoed)
    port.close()


def recorded_session(port, reader):
    """A session to record and replay: a speed change, AT, ATI, a call
    escaped with +++ and hung up, a purge."""
    port.reset_input_buffer()
    port.write(b"AT\r")
    reader.until(b"OK\r\n")
    port.write(b"ATI\r")
    reader.until(b"OK\r\n")
    port.baudrate = 57600
    # A short escape guard time (15 fiftieths of a second) keeps the test quick.
    port.write(b"ATS12=15\r")
    reader.until(b"OK\r\n")
    port.write(b"ATD*99#\r")
    reader.until(b"CONNECT 7200000\r\n")
    port.write(b"\x7e\xff\x7d\x23\x7e")
    reader.until(b"\x7e\xff\x7d\x23\x7e")
    time.sleep(0.6)
    port.write(b"+++")
    reader.until(b"OK\r\n")
    port.write(b"ATH\r")
    reader.until(b"OK\r\n")
    port.reset_input_buffer()
    port.close()


if __name__ == "__main__":
    serial_port = serial.Serial(sys.argv[1], 115200, stopbits=serial.STOPBITS_TWO, timeout=0.5)
    session = recorded_session if sys.argv[2:] == ["record"] else settings_session
    session(serial_port, Reader(serial_port))
