// The physical device object of a plugged device: its dispatch routines
// (URB submission, port status and reset), Plug and Play (identifiers,
// start, surprise removal, removal) and power.  Locking: bus_internal.h.
#include <cstdio>
#include <string>

#include "usb/bus_internal.h"

namespace emu::usb::detail {

// ---- Dispatch routines of the PDO --------------------------------------------------

NTSTATUS dispatch(const std::weak_ptr<Device>& weak, PDEVICE_OBJECT /*pdo*/, PIRP irp) {
  auto dev = weak.lock();
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (!dev) return complete_now(irp, nullptr, 0, STATUS_NO_SUCH_DEVICE);
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
      return complete_now(irp, nullptr, 0, STATUS_SUCCESS);
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      break;
    default:
      return complete_now(irp, nullptr, 0, STATUS_INVALID_DEVICE_REQUEST);
  }
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
      return submit_urb(*dev, irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
      auto* status = static_cast<PULONG>(stack->Parameters.Others.Argument1);
      if (status == nullptr) return complete_now(irp, nullptr, 0, STATUS_INVALID_PARAMETER);
      std::unique_lock lk(bus().m);
      *status = dev->plugged ? (USBD_PORT_ENABLED | USBD_PORT_CONNECTED) : 0;
      lk.unlock();
      return complete_now(irp, nullptr, 0, STATUS_SUCCESS);
    }
    case IOCTL_INTERNAL_USB_RESET_PORT: {
      std::unique_lock lk(bus().m);
      if (!dev->plugged) {
        lk.unlock();
        return complete_now(irp, nullptr, 0, STATUS_NO_SUCH_DEVICE);
      }
      for (auto& [address, pipe] : dev->pipes) pipe->halted = false;
      lk.unlock();
      return complete_now(irp, nullptr, 0, STATUS_SUCCESS);
    }
    default:
      return complete_now(irp, nullptr, 0, STATUS_NOT_SUPPORTED);
  }
}

void forget(const std::shared_ptr<Device>& dev) {
  std::shared_ptr<DeviceNode> node;
  {
    std::lock_guard lock(bus().m);
    auto it = bus().devices.find(dev->pdo);
    if (it != bus().devices.end() && it->second == dev) bus().devices.erase(it);
    node = std::move(dev->node);
  }
  // The last reference to the node deletes a PDO the stack left behind.
  node.reset();
}

// IRP_MN_QUERY_ID: the identifiers a USB hub reports, as a pool string
// (REG_MULTI_SZ style for the ID lists) that the requester frees.
NTSTATUS query_id(Device& dev, PIRP irp) {
  const std::span<const uint8_t> dd = dev.model->device_descriptor();
  auto at = [&](std::size_t i) -> unsigned { return i < dd.size() ? dd[i] : 0; };
  char vid_pid[64];
  snprintf(vid_pid, sizeof vid_pid, "USB\\VID_%04X&PID_%04X", at(8) | at(9) << 8, at(10) | at(11) << 8);
  std::vector<std::string> ids;
  switch (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
      ids = {vid_pid};
      break;
    case BusQueryHardwareIDs: {
      char rev[80];
      snprintf(rev, sizeof rev, "%s&REV_%04X", vid_pid, at(12) | at(13) << 8);
      ids = {rev, vid_pid};
      break;
    }
    case BusQueryCompatibleIDs: {
      char a[64], b[64], c[64];
      snprintf(a, sizeof a, "USB\\Class_%02X&SubClass_%02X&Prot_%02X", at(4), at(5), at(6));
      snprintf(b, sizeof b, "USB\\Class_%02X&SubClass_%02X", at(4), at(5));
      snprintf(c, sizeof c, "USB\\Class_%02X", at(4));
      ids = {a, b, c};
      break;
    }
    case BusQueryInstanceID:
      ids = {dev.options.instance_id.empty()
                 ? std::to_string(dev.id)
                 : std::string(dev.options.instance_id.begin(), dev.options.instance_id.end())};
      break;
    default:
      return complete_now(irp, nullptr, 0, irp->IoStatus.Status);
  }
  std::size_t chars = 1;
  for (const auto& id : ids) chars += id.size() + 1;
  auto* text = static_cast<WCHAR*>(
      ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), 'U' | 'S' << 8 | 'B' << 16 | 'D' << 24));
  if (text == nullptr) return complete_now(irp, nullptr, 0, STATUS_INSUFFICIENT_RESOURCES);
  std::size_t k = 0;
  for (const auto& id : ids) {
    for (char ch : id) text[k++] = static_cast<WCHAR>(ch);
    text[k++] = 0;
  }
  text[k] = 0;
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(text);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS pnp(const std::weak_ptr<Device>& weak, PDEVICE_OBJECT pdo, PIRP irp) {
  auto dev = weak.lock();
  if (!dev) return pdo_default_pnp(pdo, irp);
  const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  if (minor == IRP_MN_QUERY_ID) return query_id(*dev, irp);
  std::vector<Completion> out;
  bool tell_unplug = false;
  {
    std::lock_guard lock(bus().m);
    switch (minor) {
      case IRP_MN_START_DEVICE:
        dev->started = true;
        dev->removed = false;
        dev->power = PowerDeviceD0;
        bus().work.notify_all();
        break;
      case IRP_MN_STOP_DEVICE:
        dev->started = false;
        break;
      case IRP_MN_SURPRISE_REMOVAL:
        // Only a device that has left the bus is surprise-removed.
        dev->surprise_removed = true;
        do_unplug(*dev, out);
        tell_unplug = !dev->unplug_told;
        dev->unplug_told = true;
        break;
      case IRP_MN_REMOVE_DEVICE:
        dev->removed = true;
        dev->started = false;
        fail_queued(*dev, dev->plugged ? USBD_STATUS_CANCELED : USBD_STATUS_DEVICE_GONE,
                    dev->plugged ? STATUS_CANCELLED : STATUS_NO_SUCH_DEVICE, out);
        drop_data_endpoints(*dev, out);
        break;
      default:
        break;
    }
  }
  complete_all(out, false);
  if (tell_unplug) tell_unplugged(*dev);
  const NTSTATUS status = pdo_default_pnp(pdo, irp);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    bool gone;
    {
      std::lock_guard lock(bus().m);
      gone = !dev->plugged;
    }
    if (gone) forget(dev);
  }
  return status;
}

NTSTATUS power(const std::weak_ptr<Device>& weak, PDEVICE_OBJECT pdo, PIRP irp) {
  auto dev = weak.lock();
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (dev && stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
    const DEVICE_POWER_STATE state = stack->Parameters.Power.State.DeviceState;
    std::vector<Completion> out;
    {
      std::lock_guard lock(bus().m);
      dev->power = state;
      if (state != PowerDeviceD0 && dev->options.fail_pending_on_power_down) {
        fail_queued(*dev, powered_down_usbd, dev->options.powered_down_status, out);
      }
      if (state == PowerDeviceD0) {
        for (auto& [address, ep] : dev->endpoints) ep.parked = false;
      }
      bus().work.notify_all();
    }
    complete_all(out, false);
    with_model(*dev, [&](DeviceModel& m) {
      m.on_power(state);
      return 0;
    });
  }
  return pdo_default_power(pdo, irp);
}

}  // namespace emu::usb::detail
