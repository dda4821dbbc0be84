// Plug and Play, power and WMI as the system drives them, remove locks,
// work items, device interfaces, symbolic links and the hardware key.
#include "io_loop_driver.h"
#include "io_test_util.h"

#include <gtest/gtest.h>

#include <thread>

using emu::verifier::Rule;

namespace {

using Events = std::vector<std::string>;
using iotest::take;

constexpr char16_t kLoopService[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EmuLoop";

bool contains(const Events& events, const std::string& what) {
  return std::find(events.begin(), events.end(), what) != events.end();
}

// ---- Remove locks ------------------------------------------------------------------------------

TEST(RemoveLock, ReleaseAndWaitReturnsOnlyWhenEveryHolderHasReleased) {
  static IO_REMOVE_LOCK lock;
  IoInitializeRemoveLock(&lock, 0x314b4c52, 0, 0);
  int a, b;
  ASSERT_EQ(IoAcquireRemoveLock(&lock, &a), STATUS_SUCCESS);  // the removal's own
  ASSERT_EQ(IoAcquireRemoveLock(&lock, &b), STATUS_SUCCESS);  // another holder
  std::atomic<bool> returned{false};
  std::thread remover([&] {
    IoReleaseRemoveLockAndWait(&lock, &a);
    returned = true;
  });
  ASSERT_TRUE(emu::ke::wait_for_waiters(&lock.Common.RemoveEvent, 1));
  EXPECT_FALSE(returned.load());
  int late;
  EXPECT_EQ(IoAcquireRemoveLock(&lock, &late), STATUS_DELETE_PENDING);  // removal has begun
  EXPECT_FALSE(returned.load());
  IoReleaseRemoveLock(&lock, &b);
  remover.join();
  EXPECT_TRUE(returned.load());
  EXPECT_EQ(lock.Common.IoCount, 0);
  EXPECT_TRUE(iotest::take_checks().empty());
}

TEST(RemoveLock, WaitWithNoOtherHolderReturnsAtOnce) {
  IO_REMOVE_LOCK lock;
  IoInitializeRemoveLock(&lock, 0x324b4c52, 0, 0);
  ASSERT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_SUCCESS);
  IoReleaseRemoveLockAndWait(&lock, nullptr);
  EXPECT_TRUE(lock.Common.Removed);
  EXPECT_TRUE(iotest::take_checks().empty());
}

// ---- A started loop device --------------------------------------------------------------------

struct Started : ::testing::Test {
  emu::Driver driver;
  std::shared_ptr<emu::DeviceNode> node;
  emu::PdoConfig config{.enumerator = u"EMU", .device_id = u"LOOP", .instance_id = u"7"};

  void SetUp() override {
    loopdrv::clear_events();
    driver = emu::load_driver(loopdrv::LoopDriverEntry, kLoopService, u"\\Driver\\EmuLoop");
    node = emu::create_pdo(config);
    ASSERT_EQ(node->add_device(driver), STATUS_SUCCESS);
    ASSERT_EQ(node->start(), STATUS_SUCCESS);
  }

  void TearDown() override {
    if (node->fdo() != nullptr) {
      EXPECT_EQ(node->remove(), STATUS_SUCCESS);
    }
    node.reset();
    driver.unload();
  }
};

TEST_F(Started, StartIsFollowedByTheCapabilitiesQueryTheDriverSeesAndAmends) {
  EXPECT_EQ(loopdrv::events(), (Events{"pnp:0", "pnp:9"}));
  DEVICE_CAPABILITIES caps;
  EXPECT_EQ(node->query_capabilities(&caps), STATUS_SUCCESS);
  EXPECT_EQ(caps.Size, sizeof caps);
  EXPECT_EQ(caps.SurpriseRemovalOK, 1u);  // set by the driver on the way up
  EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
  EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], PowerDeviceD3);
  EXPECT_EQ(emu::reported_device_power(node->fdo()), PowerDeviceD0);
}

TEST_F(Started, QueriesAndStopsGoDownAndSucceed) {
  EXPECT_EQ(node->query_stop(), STATUS_SUCCESS);
  EXPECT_EQ(node->cancel_stop(), STATUS_SUCCESS);
  EXPECT_EQ(node->query_remove(), STATUS_SUCCESS);
  EXPECT_EQ(node->cancel_remove(), STATUS_SUCCESS);
  // A request nobody handles keeps the status it was sent with.
  EXPECT_EQ(node->send_pnp(IRP_MN_QUERY_BUS_INFORMATION), STATUS_NOT_SUPPORTED);
}

TEST_F(Started, SystemSleepBecomesADevicePowerRequestThatCompletesFirst) {
  loopdrv::clear_events();
  emu::PowerResult sleep = node->set_system_power(PowerSystemSleeping3, PowerActionSleep);
  EXPECT_EQ(sleep.status, STATUS_SUCCESS);
  EXPECT_EQ(sleep.returned, STATUS_PENDING);  // held by the driver until its device request completed
  EXPECT_EQ(sleep.start_next_power, 2u);      // once by each driver of the stack
  auto requests = emu::power_requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].target, node->pdo());
  EXPECT_EQ(requests[0].minor, IRP_MN_SET_POWER);
  EXPECT_EQ(requests[0].state.DeviceState, PowerDeviceD3);
  EXPECT_EQ(requests[0].status, STATUS_SUCCESS);
  EXPECT_EQ(emu::reported_device_power(node->fdo()), PowerDeviceD3);
  EXPECT_EQ(emu::reported_device_power(node->pdo()), PowerDeviceD3);
  EXPECT_EQ(loopdrv::events(), (Events{"power:2:0:4", "power:2:1:4"}));

  EXPECT_EQ(node->set_system_power(PowerSystemWorking).status, STATUS_SUCCESS);
  EXPECT_EQ(emu::reported_device_power(node->fdo()), PowerDeviceD0);
  EXPECT_EQ(emu::power_requests().size(), 2u);

  emu::PowerResult query = node->query_system_power(PowerSystemHibernate);
  EXPECT_EQ(query.status, STATUS_SUCCESS);
  EXPECT_EQ(query.start_next_power, 2u);
  EXPECT_EQ(emu::power_requests().size(), 2u);  // a query asks for no device request
}

TEST_F(Started, WmiRegistrationAndQueriesThroughTheLibrary) {
  PDEVICE_OBJECT fdo = node->fdo();
  ASSERT_TRUE(emu::wmi::is_registered(fdo));
  emu::wmi::RegInfo reg = emu::wmi::query_reginfo(fdo);
  ASSERT_EQ(reg.status, STATUS_SUCCESS);
  ASSERT_EQ(reg.guids.size(), 1u);
  EXPECT_TRUE(IsEqualGUID(reg.guids[0].guid, loopdrv::LOOP_WMI_GUID));
  EXPECT_EQ(reg.guids[0].flags & WMIREG_FLAG_INSTANCE_PDO, static_cast<ULONG>(WMIREG_FLAG_INSTANCE_PDO));
  EXPECT_EQ(reg.guids[0].pdo, node->pdo());
  EXPECT_EQ(reg.registry_path, kLoopService);
  EXPECT_TRUE(reg.mof_resource.empty());

  emu::wmi::RegInfo small = emu::wmi::query_reginfo(fdo, 8);
  EXPECT_EQ(small.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_GT(small.size_needed, 8u);

  emu::wmi::DataResult all = emu::wmi::query_all_data(fdo, loopdrv::LOOP_WMI_GUID);
  ASSERT_EQ(all.status, STATUS_SUCCESS);
  ASSERT_EQ(all.instances.size(), 1u);
  ASSERT_EQ(all.instances[0].size(), sizeof(ULONG));
  ULONG value;
  memcpy(&value, all.instances[0].data(), sizeof value);
  EXPECT_EQ(value, 0x1000u);  // no handle open

  emu::wmi::DataResult one = emu::wmi::query_single_instance(fdo, loopdrv::LOOP_WMI_GUID, 0);
  EXPECT_EQ(one.status, STATUS_SUCCESS);
  EXPECT_EQ(one.instances.at(0), all.instances[0]);
  EXPECT_EQ(emu::wmi::query_single_instance(fdo, loopdrv::LOOP_WMI_GUID, 1).status,
            STATUS_WMI_INSTANCE_NOT_FOUND);

  emu::wmi::DataResult tight = emu::wmi::query_all_data(fdo, loopdrv::LOOP_WMI_GUID, sizeof(WNODE_ALL_DATA));
  EXPECT_TRUE(tight.too_small);
  EXPECT_GT(tight.size_needed, static_cast<ULONG>(sizeof(WNODE_ALL_DATA)));

  GUID other = loopdrv::LOOP_WMI_GUID;
  other.Data1 ^= 1;
  EXPECT_EQ(emu::wmi::query_all_data(fdo, other).status, STATUS_WMI_GUID_NOT_FOUND);

  // Not for this provider, or not WMI at all: passed down, where the PDO ends
  // it untouched.
  GUID guid = loopdrv::LOOP_WMI_GUID;
  EXPECT_EQ(emu::wmi::send(fdo, IRP_MN_QUERY_ALL_DATA, &guid, std::vector<uint8_t>(64), 1234).status,
            STATUS_NOT_SUPPORTED);
  EXPECT_EQ(emu::wmi::send(fdo, 0x0a, &guid, {}).status, STATUS_NOT_SUPPORTED);

  EXPECT_EQ(node->remove(), STATUS_SUCCESS);
  EXPECT_FALSE(emu::wmi::is_registered(fdo));
}

// ---- The Plug and Play manager's own checks ----------------------------------------------------

// A function driver whose removal forgets to detach and delete its device,
// and whose AddDevice forgets DO_DEVICE_INITIALIZING.
PDEVICE_OBJECT g_lazy_lower = nullptr;

NTSTATUS NTAPI LazyPass(PDEVICE_OBJECT, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(g_lazy_lower, irp);
}

NTSTATUS NTAPI LazyAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT dev;
  NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &dev);
  if (NT_SUCCESS(status)) g_lazy_lower = IoAttachDeviceToDeviceStack(dev, pdo);
  return status;
}

NTSTATUS NTAPI LazyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& slot : driver->MajorFunction) slot = LazyPass;
  driver->DriverExtension->AddDevice = LazyAddDevice;
  return STATUS_SUCCESS;
}

TEST(PnpChecks, DeviceLeftInitializingAndNotDeletedAtRemoval) {
  emu::Driver driver =
      emu::load_driver(LazyEntry, u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Lazy");
  auto node = emu::create_pdo();
  ASSERT_EQ(node->add_device(driver), STATUS_SUCCESS);
  EXPECT_EQ(take(Rule::device_still_initializing).size(), 1u);
  PDEVICE_OBJECT fdo = node->fdo();
  ASSERT_NE(fdo, nullptr);
  EXPECT_EQ(node->start(), STATUS_SUCCESS);
  EXPECT_EQ(node->remove(), STATUS_SUCCESS);
  auto checks = iotest::take_checks();
  EXPECT_TRUE(iotest::has(checks, Rule::fdo_not_deleted));
  EXPECT_TRUE(iotest::has(checks, Rule::fdo_not_detached));
  IoDetachDevice(node->pdo());
  IoDeleteDevice(fdo);
  node.reset();
  driver.unload();
}

TEST(PnpChecks, FailedStartIsFollowedByRemoval) {
  loopdrv::clear_events();
  emu::Driver driver = emu::load_driver(loopdrv::LoopDriverEntry, kLoopService);
  emu::PdoConfig config;
  config.pnp = [](PDEVICE_OBJECT pdo, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_START_DEVICE)
      return iotest::complete(irp, STATUS_DEVICE_NOT_READY);
    return emu::pdo_default_pnp(pdo, irp);
  };
  auto node = emu::create_pdo(config);
  ASSERT_EQ(node->add_device(driver), STATUS_SUCCESS);
  EXPECT_EQ(node->start(), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(loopdrv::events(), (Events{"pnp:0", "pnp:2"}));
  EXPECT_EQ(node->fdo(), nullptr);
  EXPECT_NE(node->pdo(), nullptr);  // still on the bus
  node.reset();
  driver.unload();
}

// ---- Registry, interfaces, links, properties -----------------------------------------------------

TEST(PnpNames, HardwareKeyHoldsThePortNameAsAnInstallerWroteIt) {
  auto node =
      emu::create_pdo({.enumerator = u"USB", .device_id = u"VID_1234&PID_5678", .instance_id = u"5&1"});
  node->set_port_name(u"COM7");
  EXPECT_EQ(node->hardware_key_path(),
            u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_5678\\5&1\\Device "
            u"Parameters");
  HANDLE key = nullptr;
  ASSERT_EQ(IoOpenDeviceRegistryKey(node->pdo(), PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ, &key),
            STATUS_SUCCESS);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"PortName");
  alignas(8) UCHAR buffer[256];
  ULONG length = 0;
  ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, buffer, sizeof buffer, &length),
            STATUS_SUCCESS);
  auto info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);
  EXPECT_EQ(info->Type, static_cast<ULONG>(REG_SZ));
  EXPECT_EQ(info->DataLength, 10u);  // "COM7" and its terminator
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(buffer + info->DataOffset), 5),
            std::u16string(u"COM7\0", 5));
  ZwClose(key);

  // Only a PDO has a hardware key; a device without one fails to open it.
  emu::Driver driver = iotest::load_fn_driver();
  iotest::Fn fn;
  PDEVICE_OBJECT fdo = iotest::make_device(driver.object(), &fn);
  EXPECT_EQ(IoOpenDeviceRegistryKey(fdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key),
            STATUS_INVALID_DEVICE_REQUEST);
  IoDeleteDevice(fdo);
  driver.unload();
  auto keyless = emu::create_pdo({.instance_id = u"9", .hardware_key = false});
  EXPECT_FALSE(NT_SUCCESS(IoOpenDeviceRegistryKey(keyless->pdo(), PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key)));
}

TEST(PnpNames, InterfaceNameIsTheDriversToFreeAndItsLinkFollowsTheState) {
  loopdrv::clear_events();
  emu::Driver driver = emu::load_driver(loopdrv::LoopDriverEntry, kLoopService);
  auto node = emu::create_pdo({.enumerator = u"USB", .device_id = u"VID_1&PID_2", .instance_id = u"3"});
  ASSERT_EQ(node->add_device(driver), STATUS_SUCCESS);
  ASSERT_EQ(node->start(), STATUS_SUCCESS);
  static const GUID comport = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
  std::size_t pool_before = emu::pool::outstanding_total();
  UNICODE_STRING link{};
  ASSERT_EQ(IoRegisterDeviceInterface(node->pdo(), &comport, nullptr, &link), STATUS_SUCCESS);
  std::u16string text(reinterpret_cast<const char16_t*>(link.Buffer), link.Length / 2);
  EXPECT_EQ(text, u"\\??\\USB#VID_1&PID_2#3#{86e0d1e0-8089-11d0-9ce4-08003e301f73}");
  EXPECT_EQ(emu::pool::outstanding_total(), pool_before + 1);
  EXPECT_EQ(IoRegisterDeviceInterface(node->fdo(), &comport, nullptr, &link), STATUS_INVALID_DEVICE_REQUEST);

  ASSERT_EQ(emu::device_interfaces(&comport).size(), 1u);
  EXPECT_FALSE(emu::device_interfaces(&comport)[0].enabled);
  EXPECT_EQ(emu::open(text).status(), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_OBJECT_NAME_EXISTS);
  EXPECT_TRUE(emu::device_interfaces(&comport)[0].enabled);
  {
    emu::Handle h = emu::open(text);  // the interface reaches the top of the PDO's stack
    EXPECT_TRUE(h.is_open());
  }
  EXPECT_TRUE(contains(loopdrv::events(), "create"));
  EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
  EXPECT_FALSE(emu::device_interfaces(&comport)[0].enabled);
  RtlFreeUnicodeString(&link);
  EXPECT_EQ(emu::pool::outstanding_total(), pool_before);

  EXPECT_EQ(node->remove(), STATUS_SUCCESS);
  node.reset();  // the bus drops the device: its registrations go with it
  EXPECT_TRUE(emu::device_interfaces(&comport).empty());
  driver.unload();
}

TEST(PnpNames, LinksCollideAndDisappearAndPropertiesNameThePdo) {
  auto node = emu::create_pdo({.name = u"\\Device\\USBPDO-42"});
  UNICODE_STRING link, target;
  RtlInitUnicodeString(&link, u"\\DosDevices\\COM42");
  RtlInitUnicodeString(&target, u"\\Device\\USBPDO-42");
  EXPECT_EQ(IoCreateUnprotectedSymbolicLink(&link, &target), STATUS_SUCCESS);
  EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(emu::symbolic_link_target(u"\\??\\com42"), u"\\Device\\USBPDO-42");
  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);

  WCHAR name[64];
  ULONG length = 0;
  EXPECT_EQ(IoGetDeviceProperty(node->pdo(), DevicePropertyPhysicalDeviceObjectName, 4, name, &length),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, sizeof(u"\\Device\\USBPDO-42"));
  ASSERT_EQ(
      IoGetDeviceProperty(node->pdo(), DevicePropertyPhysicalDeviceObjectName, sizeof name, name, &length),
      STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(name)), u"\\Device\\USBPDO-42");
  IoInvalidateDeviceState(node->pdo());
  EXPECT_EQ(node->state_invalidations(), 1u);
}

// ---- Work items ------------------------------------------------------------------------------

TEST(WorkItems, RunAtPassiveOnAWorkerWithTheirDeviceAndMayFreeThemselves) {
  emu::Driver driver = iotest::load_fn_driver();
  iotest::Fn fn;
  PDEVICE_OBJECT dev = iotest::make_device(driver.object(), &fn);
  struct Seen {
    PDEVICE_OBJECT device = nullptr;
    KIRQL irql = 0xFF;
    std::thread::id thread;
    PIO_WORKITEM item = nullptr;
  };
  static Seen seen;
  seen = Seen{};
  seen.item = IoAllocateWorkItem(dev);
  ASSERT_NE(seen.item, nullptr);
  IoQueueWorkItem(
      seen.item,
      [](PDEVICE_OBJECT device, PVOID context) NTAPI {
        auto* s = static_cast<Seen*>(context);
        s->device = device;
        s->irql = KeGetCurrentIrql();
        s->thread = std::this_thread::get_id();
        IoFreeWorkItem(s->item);
      },
      DelayedWorkQueue, &seen);
  ASSERT_TRUE(emu::wait_work_items());
  EXPECT_EQ(seen.device, dev);
  EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
  EXPECT_NE(seen.thread, std::this_thread::get_id());
  emu::faults::fail_work_item(1);
  EXPECT_EQ(IoAllocateWorkItem(dev), nullptr);
  emu::faults::clear();
  IoDeleteDevice(dev);
  driver.unload();
  EXPECT_TRUE(iotest::take_checks().empty());
}

}  // namespace
