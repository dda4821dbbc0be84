// The emulated bus as a Linux usbmon capture: a pcap file of link type
// LINKTYPE_USB_LINUX_MMAPPED (220) that Wireshark and tshark read, one record
// for each URB's submission and one for its completion.
#pragma once

#include <emu/usb/bus.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "text_codec.h"

struct pcap;
struct pcap_dumper;

namespace vrmdm {

// A bus watcher for as long as this object lives.
class BusWatch {
 public:
  explicit BusWatch(emu::usb::UrbWatcher watcher) : id_(emu::usb::watch(std::move(watcher))) {}
  ~BusWatch() { emu::usb::unwatch(id_); }
  BusWatch(const BusWatch&) = delete;
  BusWatch& operator=(const BusWatch&) = delete;

 private:
  uint64_t id_;
};

// The usbmon record of an event: the 64-byte header of the mmapped
// interface, in this machine's byte order as usbmon writes it, followed by
// at most `max_data` bytes of the data.
Bytes usbmon_record(const emu::usb::UrbEvent& event, std::size_t max_data = 1 << 18);
// The negative errno usbmon shows for a completion's status.
int usbmon_status(uint32_t usbd_status, uint32_t nt_status);

// The CDC serial-state bitmap, when the event is the completion of a
// SERIAL_STATE notification on an interrupt pipe.
std::optional<uint16_t> serial_state_of(const emu::usb::UrbEvent& event);
// "serial state 0x0003: DCD on, DSR on, ring off" (the bits a modem reports).
std::string describe_serial_state(uint16_t state);

class UsbCapture {
 public:
  UsbCapture() = default;
  ~UsbCapture() { close(); }
  UsbCapture(const UsbCapture&) = delete;
  UsbCapture& operator=(const UsbCapture&) = delete;

  // Creates `path` and records every URB from now on; false, with a reason,
  // when the file cannot be written.
  bool open(const std::string& path, std::string& error);
  // Stops recording and closes the file.  Idempotent.
  void close();
  std::size_t records() const;

 private:
  void write(const emu::usb::UrbEvent& event);

  mutable std::mutex mutex_;  // guards the dumper; taken inside the bus's watcher lock
  pcap* pcap_ = nullptr;
  pcap_dumper* dumper_ = nullptr;
  std::unique_ptr<char[]> buffer_;
  std::size_t records_ = 0;
  std::unique_ptr<BusWatch> watch_;
};

}  // namespace vrmdm
