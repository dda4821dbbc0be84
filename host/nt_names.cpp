#include "nt_names.h"

#include <array>
#include <cstdio>

#include "text_codec.h"

namespace vrmdm {

namespace {

struct StatusEntry {
  uint32_t value;
  const char* name;
};

// The statuses the driver, the I/O manager and the bus report to a client.
constexpr StatusEntry kStatuses[] = {
    {0x00000000, "STATUS_SUCCESS"},
    {0x00000102, "STATUS_TIMEOUT"},
    {0x00000103, "STATUS_PENDING"},
    {0x80000005, "STATUS_BUFFER_OVERFLOW"},
    {0x8000000F, "STATUS_DEVICE_POWERED_OFF"},
    {0x80000011, "STATUS_DEVICE_BUSY"},
    {0xC0000001, "STATUS_UNSUCCESSFUL"},
    {0xC0000002, "STATUS_NOT_IMPLEMENTED"},
    {0xC0000008, "STATUS_INVALID_HANDLE"},
    {0xC000000D, "STATUS_INVALID_PARAMETER"},
    {0xC000000E, "STATUS_NO_SUCH_DEVICE"},
    {0xC0000010, "STATUS_INVALID_DEVICE_REQUEST"},
    {0xC0000016, "STATUS_MORE_PROCESSING_REQUIRED"},
    {0xC0000017, "STATUS_NO_MEMORY"},
    {0xC0000022, "STATUS_ACCESS_DENIED"},
    {0xC0000023, "STATUS_BUFFER_TOO_SMALL"},
    {0xC0000034, "STATUS_OBJECT_NAME_NOT_FOUND"},
    {0xC0000035, "STATUS_OBJECT_NAME_COLLISION"},
    {0xC0000043, "STATUS_SHARING_VIOLATION"},
    {0xC0000056, "STATUS_DELETE_PENDING"},
    {0xC000009A, "STATUS_INSUFFICIENT_RESOURCES"},
    {0xC000009D, "STATUS_DEVICE_NOT_CONNECTED"},
    {0xC00000A3, "STATUS_DEVICE_NOT_READY"},
    {0xC00000B5, "STATUS_IO_TIMEOUT"},
    {0xC00000BB, "STATUS_NOT_SUPPORTED"},
    {0xC00000C0, "STATUS_DEVICE_DOES_NOT_EXIST"},
    {0xC0000120, "STATUS_CANCELLED"},
    {0xC0000128, "STATUS_FILE_CLOSED"},
    {0xC0000184, "STATUS_INVALID_DEVICE_STATE"},
    {0xC00002B6, "STATUS_DEVICE_REMOVED"},
};

struct IoctlEntry {
  uint32_t code;
  const char* name;
  uint32_t output;  // what the request returns, in bytes
};

constexpr uint32_t serial_code(uint32_t function) { return 0x001B0000u | function << 2; }

constexpr IoctlEntry kIoctls[] = {
    {serial_code(1), "SET_BAUD_RATE", 0},
    {serial_code(2), "SET_QUEUE_SIZE", 0},
    {serial_code(3), "SET_LINE_CONTROL", 0},
    {serial_code(4), "SET_BREAK_ON", 0},
    {serial_code(5), "SET_BREAK_OFF", 0},
    {serial_code(6), "IMMEDIATE_CHAR", 0},
    {serial_code(7), "SET_TIMEOUTS", 0},
    {serial_code(8), "GET_TIMEOUTS", 20},
    {serial_code(9), "SET_DTR", 0},
    {serial_code(10), "CLR_DTR", 0},
    {serial_code(11), "RESET_DEVICE", 0},
    {serial_code(12), "SET_RTS", 0},
    {serial_code(13), "CLR_RTS", 0},
    {serial_code(14), "SET_XOFF", 0},
    {serial_code(15), "SET_XON", 0},
    {serial_code(16), "GET_WAIT_MASK", 4},
    {serial_code(17), "SET_WAIT_MASK", 0},
    {serial_code(18), "WAIT_ON_MASK", 4},
    {serial_code(19), "PURGE", 0},
    {serial_code(20), "GET_BAUD_RATE", 4},
    {serial_code(21), "GET_LINE_CONTROL", 3},
    {serial_code(22), "GET_CHARS", 6},
    {serial_code(23), "SET_CHARS", 0},
    {serial_code(24), "GET_HANDFLOW", 16},
    {serial_code(25), "SET_HANDFLOW", 0},
    {serial_code(26), "GET_MODEMSTATUS", 4},
    {serial_code(27), "GET_COMMSTATUS", 20},
    {serial_code(28), "XOFF_COUNTER", 0},
    {serial_code(29), "GET_PROPERTIES", 64},
    {serial_code(30), "GET_DTRRTS", 4},
    {serial_code(31), "LSRMST_INSERT", 0},
    {serial_code(32), "CONFIG_SIZE", 4},
    {serial_code(33), "GET_COMMCONFIG", 0},
    {serial_code(34), "SET_COMMCONFIG", 0},
    {serial_code(35), "GET_STATS", 24},
    {serial_code(36), "CLEAR_STATS", 0},
    {serial_code(37), "GET_MODEM_CONTROL", 4},
    {serial_code(38), "SET_MODEM_CONTROL", 0},
    {serial_code(39), "SET_FIFO_CONTROL", 0},
    {serial_code(40), "APPLY_DEFAULT_CONFIGURATION", 0},
    {serial_code(41), "SET_INTERVAL_TIMER_RESOLUTION", 0},
    {kIoctlRemovalNotify, "REMOVAL_NOTIFY", 4},
};

std::string hex32(uint32_t value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", value);
  return buf;
}

}  // namespace

std::string status_name(uint32_t status) {
  for (const auto& e : kStatuses)
    if (e.value == status) return e.name;
  return hex32(status);
}

std::optional<uint32_t> status_value(std::string_view name) {
  for (const auto& e : kStatuses)
    if (name == e.name) return e.value;
  return std::nullopt;
}

std::optional<uint32_t> ioctl_code(std::string_view name) {
  for (const auto& e : kIoctls)
    if (name == e.name) return e.code;
  if (name.size() > 2 && name[0] == '0' && (name[1] == 'x' || name[1] == 'X')) {
    try {
      return parse_u32(name);
    } catch (const SyntaxError&) {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

std::string ioctl_name(uint32_t code) {
  for (const auto& e : kIoctls)
    if (e.code == code) return e.name;
  return hex32(code);
}

uint32_t ioctl_default_output(uint32_t code) {
  for (const auto& e : kIoctls)
    if (e.code == code) return e.output;
  return 0;
}

}  // namespace vrmdm
