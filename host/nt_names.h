// Names for the NTSTATUS values and device-control codes that appear on the
// serial port's interface, for result lines and for scenario input.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vrmdm {

// "STATUS_SUCCESS" etc. for the statuses the port and the emulator produce;
// "0x%08X" for any other value.
std::string status_name(uint32_t status);
// The value of a name status_name() knows; nothing otherwise.
std::optional<uint32_t> status_value(std::string_view name);

// The control code for a request name: a serial request without its
// IOCTL_SERIAL_ prefix ("SET_BAUD_RATE"), the private REMOVAL_NOTIFY, or a
// hex code ("0x1B0004").  Nothing when the text is none of these.
std::optional<uint32_t> ioctl_code(std::string_view name);
// The short name of a known code ("SET_BAUD_RATE"), else "0x%08X".
std::string ioctl_name(uint32_t code);

// The size of what a known request returns (GET_BAUD_RATE: 4...), used as
// the output length when a scenario gives none; 0 for requests with no output.
uint32_t ioctl_default_output(uint32_t code);

// The statuses the front ends act on (the port speaks NTSTATUS as uint32_t).
constexpr uint32_t kStatusSuccess = 0;
constexpr uint32_t kStatusTimeout = 0x00000102;
constexpr uint32_t kStatusPending = 0x00000103;
constexpr uint32_t kStatusCancelled = 0xC0000120;

// The private removal-notification request.
constexpr uint32_t kIoctlRemovalNotify = 0x00222000;
// IOCTL_SERIAL_SET_TIMEOUTS: its input is SERIAL_TIMEOUTS, five ULONGs, the
// three read time-outs first.
constexpr uint32_t kIoctlSetTimeouts = 0x001B001C;

}  // namespace vrmdm
