// The class requests of an abstract control model function, answered the
// same way by every model that is one; a model asks this first and handles
// only what it leaves.
#pragma once

#include <emu/usb/bus.h>
#include <emu/usb/cdc.h>

#include <optional>
#include <span>

namespace emu::usb::cdc {

struct AcmAnswer {
  Reply reply;
  std::optional<uint16_t> control_lines;  // the wValue of a SET_CONTROL_LINE_STATE taken
};

// SET_LINE_CODING (kept in `coding`), GET_LINE_CODING (the last one kept,
// else 9600 8N1), SET_CONTROL_LINE_STATE and SEND_BREAK, addressed to the
// communications interface `interface_number`.  SET_LINE_CODING carries
// exactly the 7-byte line coding: a shorter or longer one stalls and changes
// nothing.  A request in the wrong direction stalls.  Nothing for any other
// request.  The caller holds the lock that guards `coding`.
std::optional<AcmAnswer> answer_acm_request(const SetupPacket& setup, std::span<uint8_t> data,
                                            uint8_t interface_number, std::optional<LineCoding>& coding);

}  // namespace emu::usb::cdc
