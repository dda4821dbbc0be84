#include "demo.h"

#include <windows.h>
#include <initguid.h>
#include <devguid.h>
#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

int failures = 0;

void step(const char* what, bool ok, const std::string& detail) {
  std::printf("demo: %-28s %s%s%s\n", what, ok ? "ok" : "FAILED", detail.empty() ? "" : ": ", detail.c_str());
  std::fflush(stdout);
  if (!ok) ++failures;
}

std::string error_text(DWORD error) { return "error " + std::to_string(error); }

std::string printable(const char* data, DWORD n) {
  std::string s;
  for (DWORD i = 0; i < n; ++i) {
    const unsigned char c = (unsigned char)data[i];
    if (c == '\r') {
      s += "\\r";
    } else if (c == '\n') {
      s += "\\n";
    } else if (c < 0x20 || c >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      s += hex;
    } else {
      s += (char)c;
    }
  }
  return s;
}

// The port's device-interface path (GUID_DEVINTERFACE_COMPORT), for when
// the COM name does not reach the driver.
std::string interface_path() {
  HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_COMPORT, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return {};
  std::string path;
  SP_DEVICE_INTERFACE_DATA iface = {};
  iface.cbSize = sizeof(iface);
  if (SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_COMPORT, 0, &iface)) {
    char buffer[1024];
    auto* detail = (SP_DEVICE_INTERFACE_DETAIL_DATA_A*)buffer;
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, sizeof(buffer), nullptr, nullptr)) {
      path = detail->DevicePath;
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  return path;
}

// An overlapped read of up to `size` bytes, waited for up to `ms`.
std::string read_some(HANDLE port, DWORD size, DWORD ms, bool& ok) {
  char data[256];
  OVERLAPPED ov = {};
  ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD n = 0;
  ok = ReadFile(port, data, size, &n, &ov) ||
       (GetLastError() == ERROR_IO_PENDING && WaitForSingleObject(ov.hEvent, ms) == WAIT_OBJECT_0 &&
        GetOverlappedResult(port, &ov, &n, FALSE));
  if (!ok) {
    CancelIo(port);
    GetOverlappedResult(port, &ov, &n, TRUE);
  }
  CloseHandle(ov.hEvent);
  return std::string(data, ok ? n : 0);
}

bool write_all(HANDLE port, const char* text) {
  OVERLAPPED ov = {};
  ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD n = 0;
  const DWORD length = (DWORD)std::strlen(text);
  const bool ok = (WriteFile(port, text, length, &n, &ov) ||
                   (GetLastError() == ERROR_IO_PENDING && GetOverlappedResult(port, &ov, &n, TRUE))) &&
                  n == length;
  CloseHandle(ov.hEvent);
  return ok;
}

// A read with nothing to come (no time-outs) pends until CancelIo ends it.
void cancel_pending_read(HANDLE port) {
  COMMTIMEOUTS timeouts = {};
  SetCommTimeouts(port, &timeouts);
  char data[16];
  DWORD n = 0;
  OVERLAPPED read_ov = {};
  read_ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const bool pending =
      !ReadFile(port, data, sizeof(data), &n, &read_ov) && GetLastError() == ERROR_IO_PENDING;
  step("read pends", pending, pending ? "" : error_text(GetLastError()));
  step("CancelIo", CancelIo(port), "");
  const bool ok = !GetOverlappedResult(port, &read_ov, &n, TRUE) && GetLastError() == ERROR_OPERATION_ABORTED;
  step("read cancelled", ok, ok ? "ERROR_OPERATION_ABORTED" : error_text(GetLastError()));
  CloseHandle(read_ov.hEvent);
}

}  // namespace

int run_demo(const char* port_name, bool skip_cancel) {
  // A port name opens as \\.\NAME; "interface" opens the COM-port
  // interface path instead, as a device manager finds the port.
  const bool by_interface = std::strcmp(port_name, "interface") == 0;
  const std::string path = by_interface ? interface_path() : std::string("\\\\.\\") + port_name;
  HANDLE port = path.empty() ? INVALID_HANDLE_VALUE
                             : CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  step(by_interface ? "open by interface path" : "open by COM name", port != INVALID_HANDLE_VALUE,
       path.empty() ? "no COM-port interface"
                    : path + (port == INVALID_HANDLE_VALUE ? ": " + error_text(GetLastError()) : ""));
  if (port == INVALID_HANDLE_VALUE) return 1;

  DCB dcb = {};
  dcb.DCBlength = sizeof(dcb);
  bool ok = GetCommState(port, &dcb);
  dcb.BaudRate = CBR_115200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  ok = ok && SetCommState(port, &dcb);
  DCB back = {};
  back.DCBlength = sizeof(back);
  ok = ok && GetCommState(port, &back) && back.BaudRate == CBR_115200 && back.ByteSize == 8;
  step("SetCommState 115200 8N1", ok, ok ? "" : error_text(GetLastError()));

  COMMTIMEOUTS timeouts = {};
  timeouts.ReadIntervalTimeout = 50;
  timeouts.ReadTotalTimeoutConstant = 1000;
  timeouts.WriteTotalTimeoutConstant = 1000;
  step("SetCommTimeouts", SetCommTimeouts(port, &timeouts), "");
  step("SetCommMask EV_RLSD", SetCommMask(port, EV_RLSD), "");

  step("write AT\\r", write_all(port, "AT\r"), "");
  Sleep(300);
  std::string answer = read_some(port, 64, 2000, ok);
  step("read OK", ok && answer.find("OK") != std::string::npos,
       printable(answer.data(), (DWORD)answer.size()));

  // The carrier wait pends before the dial and ends when DCD rises.
  OVERLAPPED wait_ov = {};
  wait_ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD mask = 0;
  const bool waiting = WaitCommEvent(port, &mask, &wait_ov) || GetLastError() == ERROR_IO_PENDING;
  step("WaitCommEvent pending", waiting, "");
  step("write ATD*99#\\r", write_all(port, "ATD*99#\r"), "");
  DWORD n = 0;
  ok = waiting && WaitForSingleObject(wait_ov.hEvent, 3000) == WAIT_OBJECT_0 &&
       GetOverlappedResult(port, &wait_ov, &n, FALSE) && (mask & EV_RLSD) != 0;
  step("WaitCommEvent EV_RLSD", ok, "mask " + std::to_string(mask));
  CloseHandle(wait_ov.hEvent);
  Sleep(300);
  answer = read_some(port, 64, 2000, ok);
  step("read CONNECT", ok && answer.find("CONNECT") != std::string::npos,
       printable(answer.data(), (DWORD)answer.size()));
  DWORD modem = 0;
  ok = GetCommModemStatus(port, &modem) && (modem & MS_RLSD_ON) != 0;
  step("GetCommModemStatus RLSD on", ok, "status " + std::to_string(modem));

  step("write data \\x7e\\x01\\x7e", write_all(port, "\x7e\x01\x7e"), "");
  Sleep(300);
  answer = read_some(port, 64, 2000, ok);
  step("read data looped back", ok && answer == "\x7e\x01\x7e",
       printable(answer.data(), (DWORD)answer.size()));

  if (skip_cancel) {
    std::printf("demo: %-28s skipped (--skip-cancel)\n", "read pends, CancelIo");
  } else {
    cancel_pending_read(port);
  }

  step("PurgeComm", PurgeComm(port, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR), "");
  step("close", CloseHandle(port), "");

  std::printf("demo: %s\n", failures == 0 ? "all steps ok" : "some steps FAILED");
  return failures == 0 ? 0 : 1;
}
