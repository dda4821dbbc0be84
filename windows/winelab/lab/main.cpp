// vrmdm_lab.exe: the Win32 side of the Wine lab (scripts/wine-lab).
//   vrmdm_lab install-bus INF      create root\vrmdm_testbus and install INF's driver on it
//   vrmdm_lab plug | unplug        the modem onto / off the test bus
//   vrmdm_lab wait-port PORT [gone] until the port's DOS name exists (or is gone), 30 s at most
//   vrmdm_lab script FILE          run a scenario (the emulator's language) on Wine's kernel
//   vrmdm_lab demo PORT|interface [--skip-cancel]  a dial-up walk through the Win32 serial API
#include <windows.h>
#include <setupapi.h>
#include <newdev.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "demo.h"
#include "nt.h"
#include "scenario.h"
#include "scenario_runner.h"
#include "wine_backend.h"

bool lab_testbus_request(DWORD code, const void* input, DWORD input_length) {
  HANDLE bus =
      CreateFileA(LAB_TESTBUS_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (bus == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "vrmdm_lab: test bus not found (%s): error %lu\n", LAB_TESTBUS_PATH, GetLastError());
    return false;
  }
  DWORD bytes = 0;
  BOOL ok = FALSE;
  // A plug waits (10 s at most) while the modem pulled out last is still
  // being removed.
  for (int i = 0; i < 100; ++i) {
    ok = DeviceIoControl(bus, code, const_cast<void*>(input), input_length, nullptr, 0, &bytes, nullptr);
    if (ok || GetLastError() != ERROR_BUSY) break;
    Sleep(100);
  }
  if (!ok) std::fprintf(stderr, "vrmdm_lab: test bus request failed: error %lu\n", GetLastError());
  CloseHandle(bus);
  return ok != FALSE;
}

// The root device Wine's PnP manager enumerates for the bus service, made as
// Wine's own wineboot makes root\winebus: a device with the hardware ID,
// registered, then the INF's driver installed on it (which starts the
// service; the PnP manager then calls the bus driver's AddDevice).
static int install_bus(const char* inf) {
  static const char kInstance[] = "ROOT\\VRMDM_TESTBUS\\0000";
  static const char kHardwareId[] = "root\\vrmdm_testbus\0";
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  if (set == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "install-bus: device list: error %lu\n", GetLastError());
    return 1;
  }
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof(device);
  if (SetupDiCreateDeviceInfoA(set, kInstance, &GUID_NULL, nullptr, nullptr, 0, &device)) {
    if (!SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, (const BYTE*)kHardwareId,
                                           sizeof(kHardwareId)) ||
        !SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) {
      std::fprintf(stderr, "install-bus: registering %s: error %lu\n", kInstance, GetLastError());
      SetupDiDestroyDeviceInfoList(set);
      return 1;
    }
  } else if (GetLastError() != ERROR_DEVINST_ALREADY_EXISTS) {
    std::fprintf(stderr, "install-bus: creating %s: error %lu\n", kInstance, GetLastError());
    SetupDiDestroyDeviceInfoList(set);
    return 1;
  }
  SetupDiDestroyDeviceInfoList(set);
  BOOL reboot = FALSE;
  if (!UpdateDriverForPlugAndPlayDevicesA(nullptr, kHardwareId, inf, 0, &reboot)) {
    std::fprintf(stderr, "install-bus: installing %s: error %lu\n", inf, GetLastError());
    return 1;
  }
  std::printf("install-bus: %s installed from %s\n", kInstance, inf);
  return 0;
}

bool lab_wait_port(const char* port, bool gone) {
  char target[512];
  for (int i = 0; i < 300; ++i) {
    if ((QueryDosDeviceA(port, target, sizeof(target)) != 0) != gone) return true;
    Sleep(100);
  }
  std::fprintf(stderr, "vrmdm_lab: %s still %s after 30 s\n", port, gone ? "there" : "missing");
  return false;
}

static int run_script(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "script: cannot read %s\n", path);
    return vrmdm::kRunScriptError;
  }
  std::stringstream text;
  text << in.rdbuf();
  vrmdm::Script script;
  try {
    script = vrmdm::parse_script(text.str());
  } catch (const vrmdm::ScriptError& e) {
    std::fprintf(stderr, "%s: %s\n", path, e.what());
    return vrmdm::kRunScriptError;
  }
  vrmdm::WinePortBackend backend;
  vrmdm::ScenarioRunner runner(backend, std::cout, std::cerr);
  return runner.run(script);
}

int main(int argc, char** argv) {
  // Result lines end in LF, as the emulator's do, so the two compare as they stand.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "install-bus" && argc == 3) return install_bus(argv[2]);
  if (command == "plug" && argc == 2) return lab_testbus_request(LAB_IOCTL_PLUG) ? 0 : 1;
  if (command == "unplug" && argc == 2) return lab_testbus_request(LAB_IOCTL_UNPLUG) ? 0 : 1;
  if (command == "wait-port" && argc == 3) return lab_wait_port(argv[2], false) ? 0 : 1;
  if (command == "wait-port" && argc == 4 && std::strcmp(argv[3], "gone") == 0)
    return lab_wait_port(argv[2], true) ? 0 : 1;
  if (command == "script" && argc == 3) return run_script(argv[2]);
  if (command == "demo" && argc == 3) return run_demo(argv[2], false);
  if (command == "demo" && argc == 4 && std::strcmp(argv[3], "--skip-cancel") == 0)
    return run_demo(argv[2], true);
  std::fprintf(stderr,
               "usage: vrmdm_lab install-bus INF | plug | unplug | wait-port PORT [gone] | script FILE |\n"
               "       demo PORT|interface [--skip-cancel]\n");
  return 2;
}
