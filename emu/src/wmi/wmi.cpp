// WMI: registration of providers, the WMI library's WmiSystemControl and
// WmiCompleteRequest (registration information, data-block queries and
// changes, methods, event and collection control, with the published
// dispositions), and the management side that sends IRP_MJ_SYSTEM_CONTROL.
//
// Instance data of a query is laid out as the library expects of a provider:
// instances one after the other, each starting on an 8-byte boundary.
#include "io/io_internal.h"

#include <unordered_map>

namespace emu::io {

namespace {

struct Pending {
  UCHAR minor;
  ULONG guid_index;
  ULONG instance_count;
  ULONG data_offset;
  std::vector<ULONG> lengths;
};

std::mutex g_mutex;
std::unordered_map<PIRP, Pending> g_pending;  // requests handed to a provider's callback

constexpr ULONG align8(ULONG n) { return (n + 7) & ~7u; }

NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

void remember(PIRP irp, Pending pending) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_pending[irp] = std::move(pending);
}

ULONG counted_size(const UNICODE_STRING& s) { return sizeof(USHORT) + s.Length; }

ULONG put_counted(PUCHAR base, ULONG offset, const UNICODE_STRING& s) {
  USHORT length = s.Length;
  memcpy(base + offset, &length, sizeof length);
  if (length != 0) memcpy(base + offset + sizeof(USHORT), s.Buffer, length);
  return offset + sizeof(USHORT) + length;
}

void free_if_pool(UNICODE_STRING& s) {
  if (s.Buffer != nullptr && emu::pool::is_allocated(s.Buffer)) ExFreePool(s.Buffer);
  s.Buffer = nullptr;
}

NTSTATUS reginfo(PWMILIB_CONTEXT ctx, PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION sp) {
  if (ctx->QueryWmiRegInfo == nullptr) return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  ULONG flags = 0;
  UNICODE_STRING instance{}, mof{};
  PUNICODE_STRING registry_path = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  NTSTATUS status;
  {
    RoutineScope scope(reinterpret_cast<const void*>(ctx->QueryWmiRegInfo), device->DriverObject);
    status = ctx->QueryWmiRegInfo(device, &flags, &instance, &registry_path, &mof, &pdo);
  }
  if (!NT_SUCCESS(status)) {
    free_if_pool(instance);
    free_if_pool(mof);
    return complete(irp, status, 0);
  }
  ULONG guids_end =
      static_cast<ULONG>(offsetof(WMIREGINFOW, WmiRegGuid) + ctx->GuidCount * sizeof(WMIREGGUIDW));
  UNICODE_STRING path = registry_path ? *registry_path : UNICODE_STRING{};
  bool basename = (flags & WMIREG_FLAG_INSTANCE_BASENAME) && instance.Buffer != nullptr;
  ULONG total = guids_end + counted_size(path) + (mof.Length ? counted_size(mof) : 0) +
                (basename ? counted_size(instance) : 0);
  ULONG size = sp->Parameters.WMI.BufferSize;
  auto base = static_cast<PUCHAR>(sp->Parameters.WMI.Buffer);
  ULONG_PTR information;
  if (base == nullptr || size < total) {
    if (base != nullptr && size >= sizeof(ULONG)) {
      *reinterpret_cast<PULONG>(base) = total;
      information = sizeof(ULONG);
    } else {
      information = 0;
    }
    status = STATUS_BUFFER_TOO_SMALL;
  } else {
    memset(base, 0, total);
    auto info = reinterpret_cast<PWMIREGINFOW>(base);
    info->BufferSize = total;
    info->GuidCount = ctx->GuidCount;
    ULONG offset = guids_end;
    info->RegistryPath = offset;
    offset = put_counted(base, offset, path);
    if (mof.Length) {
      info->MofResourceName = offset;
      offset = put_counted(base, offset, mof);
    }
    ULONG basename_offset = offset;
    if (basename) offset = put_counted(base, offset, instance);
    for (ULONG i = 0; i < ctx->GuidCount; ++i) {
      WMIREGGUIDW& g = info->WmiRegGuid[i];
      const WMIGUIDREGINFO& src = ctx->GuidList[i];
      g.Guid = *src.Guid;
      g.Flags = src.Flags |
                (flags & (WMIREG_FLAG_INSTANCE_PDO | WMIREG_FLAG_INSTANCE_BASENAME | WMIREG_FLAG_EXPENSIVE));
      g.InstanceCount = src.InstanceCount;
      if (g.Flags & WMIREG_FLAG_INSTANCE_PDO)
        g.Pdo = reinterpret_cast<ULONG_PTR>(pdo);
      else if (basename)
        g.BaseNameOffset = basename_offset;
    }
    information = total;
    status = STATUS_SUCCESS;
  }
  free_if_pool(instance);
  free_if_pool(mof);
  return complete(irp, status, information);
}

bool find_guid(PWMILIB_CONTEXT ctx, const GUID* guid, ULONG* index) {
  if (guid == nullptr) return false;
  for (ULONG i = 0; i < ctx->GuidCount; ++i) {
    if (IsEqualGUID(*ctx->GuidList[i].Guid, *guid)) {
      *index = i;
      return true;
    }
  }
  return false;
}

}  // namespace

void reset_wmi() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_pending.clear();
}

}  // namespace emu::io

using namespace emu::io;

NTSTATUS NTAPI IoWMIRegistrationControl(PDEVICE_OBJECT DeviceObject, ULONG Action) {
  NTSTATUS status = STATUS_INVALID_PARAMETER;
  bool known = with_device(DeviceObject, [&](DeviceInfo& info) {
    if (info.deleted) return;
    switch (Action) {
      case WMIREG_ACTION_REGISTER:
        info.wmi_registered = true;
        status = STATUS_SUCCESS;
        break;
      case WMIREG_ACTION_DEREGISTER:
        status = info.wmi_registered ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
        info.wmi_registered = false;
        break;
      case WMIREG_ACTION_REREGISTER:
      case WMIREG_ACTION_UPDATE_GUIDS:
        status = info.wmi_registered ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
        break;
      case WMIREG_ACTION_BLOCK_IRPS:
        status = STATUS_SUCCESS;
        break;
      default:
        break;
    }
  });
  if (!known)
    emu::verifier::report(emu::verifier::Rule::wmi_unknown_device, symbol_name(__builtin_return_address(0)),
                          DeviceObject, "IoWMIRegistrationControl for a device object that does not exist");
  return status;
}

NTSTATUS NTAPI WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                PSYSCTL_IRP_DISPOSITION IrpDisposition) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
  UCHAR minor = sp->MinorFunction;
  if (minor > IRP_MN_REGINFO_EX || minor == 0x0a) {
    *IrpDisposition = IrpNotWmi;
    return Irp->IoStatus.Status;
  }
  if (sp->Parameters.WMI.ProviderId != reinterpret_cast<ULONG_PTR>(DeviceObject)) {
    *IrpDisposition = IrpForward;
    return Irp->IoStatus.Status;
  }
  *IrpDisposition = IrpProcessed;
  if (minor == IRP_MN_REGINFO || minor == IRP_MN_REGINFO_EX)
    return reginfo(WmiLibInfo, DeviceObject, Irp, sp);
  ULONG index = 0;
  if (!find_guid(WmiLibInfo, static_cast<const GUID*>(sp->Parameters.WMI.DataPath), &index))
    return complete(Irp, STATUS_WMI_GUID_NOT_FOUND, 0);
  ULONG count = WmiLibInfo->GuidList[index].InstanceCount;
  ULONG size = sp->Parameters.WMI.BufferSize;
  auto base = static_cast<PUCHAR>(sp->Parameters.WMI.Buffer);
  RoutineScope scope(nullptr, DeviceObject->DriverObject);
  switch (minor) {
    case IRP_MN_QUERY_ALL_DATA: {
      if (WmiLibInfo->QueryWmiDataBlock == nullptr) return complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
      if (base == nullptr || size < sizeof(WNODE_TOO_SMALL)) return complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
      ULONG data_offset = align8(static_cast<ULONG>(offsetof(WNODE_ALL_DATA, OffsetInstanceDataAndLength) +
                                                    count * sizeof(OFFSETINSTANCEDATAANDLENGTH)));
      Pending pending{minor, index, count, data_offset, std::vector<ULONG>(count, 0)};
      PULONG lengths = pending.lengths.data();
      remember(Irp, std::move(pending));
      ULONG avail = size > data_offset ? size - data_offset : 0;
      return WmiLibInfo->QueryWmiDataBlock(DeviceObject, Irp, index, 0, count, lengths, avail,
                                           avail ? base + data_offset : nullptr);
    }
    case IRP_MN_QUERY_SINGLE_INSTANCE:
    case IRP_MN_CHANGE_SINGLE_INSTANCE:
    case IRP_MN_CHANGE_SINGLE_ITEM:
    case IRP_MN_EXECUTE_METHOD: {
      if (base == nullptr || size < sizeof(WNODE_SINGLE_INSTANCE))
        return complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
      auto wnode = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(base);
      ULONG instance = wnode->InstanceIndex;
      if (instance >= count) return complete(Irp, STATUS_WMI_INSTANCE_NOT_FOUND, 0);
      ULONG data_offset = wnode->DataBlockOffset;
      if (data_offset > size) return complete(Irp, STATUS_INVALID_PARAMETER, 0);
      ULONG avail = size - data_offset;
      Pending pending{minor, index, 1, data_offset, std::vector<ULONG>(1, 0)};
      PULONG lengths = pending.lengths.data();
      if (minor == IRP_MN_QUERY_SINGLE_INSTANCE) {
        if (WmiLibInfo->QueryWmiDataBlock == nullptr) return complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        remember(Irp, std::move(pending));
        return WmiLibInfo->QueryWmiDataBlock(DeviceObject, Irp, index, instance, 1, lengths, avail,
                                             base + data_offset);
      }
      if (minor == IRP_MN_CHANGE_SINGLE_INSTANCE) {
        if (WmiLibInfo->SetWmiDataBlock == nullptr) return complete(Irp, STATUS_WMI_READ_ONLY, 0);
        remember(Irp, std::move(pending));
        return WmiLibInfo->SetWmiDataBlock(DeviceObject, Irp, index, instance,
                                           std::min(wnode->SizeDataBlock, avail), base + data_offset);
      }
      if (minor == IRP_MN_CHANGE_SINGLE_ITEM) {
        if (WmiLibInfo->SetWmiDataItem == nullptr) return complete(Irp, STATUS_WMI_READ_ONLY, 0);
        auto item = reinterpret_cast<PWNODE_SINGLE_ITEM>(base);
        remember(Irp, std::move(pending));
        return WmiLibInfo->SetWmiDataItem(DeviceObject, Irp, index, instance, item->ItemId,
                                          std::min(item->SizeDataItem, avail), base + data_offset);
      }
      if (WmiLibInfo->ExecuteWmiMethod == nullptr) return complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
      auto method = reinterpret_cast<PWNODE_METHOD_ITEM>(base);
      remember(Irp, std::move(pending));
      return WmiLibInfo->ExecuteWmiMethod(DeviceObject, Irp, index, instance, method->MethodId,
                                          std::min(method->SizeDataBlock, avail), avail, base + data_offset);
    }
    default: {  // event and collection control
      if (WmiLibInfo->WmiFunctionControl == nullptr) return complete(Irp, STATUS_SUCCESS, 0);
      bool events = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_DISABLE_EVENTS;
      bool enable = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_ENABLE_COLLECTION;
      remember(Irp, Pending{minor, index, 0, 0, {}});
      return WmiLibInfo->WmiFunctionControl(
          DeviceObject, Irp, index, events ? WmiEventControl : WmiDataBlockControl, enable ? TRUE : FALSE);
    }
  }
}

NTSTATUS NTAPI WmiCompleteRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status, ULONG BufferUsed,
                                  CCHAR PriorityBoost) {
  (void)DeviceObject;
  Pending pending;
  bool found;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_pending.find(Irp);
    found = it != g_pending.end();
    if (found) {
      pending = std::move(it->second);
      g_pending.erase(it);
    }
  }
  if (!found) {
    emu::verifier::report(emu::verifier::Rule::wmi_complete_unknown, symbol_name(__builtin_return_address(0)),
                          Irp, "WmiCompleteRequest for a request WmiSystemControl did not hand out");
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, PriorityBoost);
    return Status;
  }
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
  auto base = static_cast<PUCHAR>(sp->Parameters.WMI.Buffer);
  ULONG size = sp->Parameters.WMI.BufferSize;
  ULONG_PTR information = 0;
  bool sized = pending.minor == IRP_MN_QUERY_ALL_DATA || pending.minor == IRP_MN_QUERY_SINGLE_INSTANCE ||
               pending.minor == IRP_MN_EXECUTE_METHOD;
  if (sized) {
    ULONG needed = pending.data_offset + BufferUsed;
    if (Status == STATUS_BUFFER_TOO_SMALL || (NT_SUCCESS(Status) && needed > size)) {
      auto small = reinterpret_cast<PWNODE_TOO_SMALL>(base);
      small->WnodeHeader.BufferSize = sizeof(WNODE_TOO_SMALL);
      small->WnodeHeader.Flags |= WNODE_FLAG_TOO_SMALL;
      small->SizeNeeded = needed;
      information = sizeof(WNODE_TOO_SMALL);
      Status = STATUS_BUFFER_TOO_SMALL;
    } else if (NT_SUCCESS(Status) && pending.minor == IRP_MN_QUERY_ALL_DATA) {
      auto all = reinterpret_cast<PWNODE_ALL_DATA>(base);
      all->DataBlockOffset = pending.data_offset;
      all->InstanceCount = pending.instance_count;
      all->OffsetInstanceNameOffsets = 0;
      bool same = true;
      for (ULONG len : pending.lengths) same = same && len == pending.lengths[0];
      if (same && !pending.lengths.empty()) {
        all->WnodeHeader.Flags |= WNODE_FLAG_FIXED_INSTANCE_SIZE;
        all->FixedInstanceSize = pending.lengths[0];
      } else {
        ULONG offset = pending.data_offset;
        for (ULONG k = 0; k < pending.instance_count; ++k) {
          all->OffsetInstanceDataAndLength[k].OffsetInstanceData = offset;
          all->OffsetInstanceDataAndLength[k].LengthInstanceData = pending.lengths[k];
          offset += align8(pending.lengths[k]);
        }
      }
      all->WnodeHeader.BufferSize = needed;
      information = needed;
    } else if (NT_SUCCESS(Status)) {
      auto single = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(base);
      single->SizeDataBlock = BufferUsed;
      single->WnodeHeader.BufferSize = needed;
      information = needed;
    }
  }
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = information;
  IofCompleteRequest(Irp, PriorityBoost);
  return Status;
}

// ---- Management side ------------------------------------------------------------------------

namespace emu::wmi {

bool is_registered(PDEVICE_OBJECT device) {
  bool registered = false;
  io::with_device(device, [&](io::DeviceInfo& info) { registered = info.wmi_registered; });
  return registered;
}

SystemControlResult send(PDEVICE_OBJECT device, UCHAR minor, PVOID data_path, std::vector<uint8_t> buffer,
                         std::optional<ULONG_PTR> provider) {
  SystemControlResult result;
  if (device == nullptr || io::device_deleted(device)) {
    result.status = result.returned = STATUS_NO_SUCH_DEVICE;
    return result;
  }
  // The buffer lives with the request, whatever becomes of the wait.
  auto held = std::make_shared<std::vector<uint8_t>>(std::move(buffer));
  PDEVICE_OBJECT top = IoGetAttachedDevice(device);
  PIRP irp = io::allocate_irp(top->StackSize, io::IrpKind::system, false);
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
  sp->MinorFunction = minor;
  sp->Parameters.WMI.ProviderId = provider.value_or(reinterpret_cast<ULONG_PTR>(device));
  sp->Parameters.WMI.DataPath = data_path;
  sp->Parameters.WMI.BufferSize = static_cast<ULONG>(held->size());
  sp->Parameters.WMI.Buffer = held->empty() ? nullptr : held->data();
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  io::SystemSend r = io::send_system_irp(top, irp, "IRP_MJ_SYSTEM_CONTROL", [held](PIRP) {});
  result.status = r.completed ? r.status : STATUS_PENDING;
  result.returned = r.returned;
  result.information = r.information;
  if (r.completed) result.buffer = *held;
  return result;
}

RegInfo query_reginfo(PDEVICE_OBJECT device, ULONG buffer_size, bool ex) {
  RegInfo info;
  SystemControlResult r = send(device, ex ? IRP_MN_REGINFO_EX : IRP_MN_REGINFO,
                               reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(WMIREGISTER)),
                               std::vector<uint8_t>(buffer_size, 0));
  info.status = r.status;
  info.information = r.information;
  const uint8_t* base = r.buffer.data();
  if (r.status == STATUS_BUFFER_TOO_SMALL && r.buffer.size() >= sizeof(ULONG)) {
    memcpy(&info.size_needed, base, sizeof(ULONG));
    return info;
  }
  if (!NT_SUCCESS(r.status) || r.buffer.size() < offsetof(WMIREGINFOW, WmiRegGuid)) return info;
  auto reg = reinterpret_cast<const WMIREGINFOW*>(base);
  auto counted = [&](ULONG offset) {
    std::u16string text;
    if (offset == 0 || offset + sizeof(USHORT) > r.buffer.size()) return text;
    USHORT length;
    memcpy(&length, base + offset, sizeof length);
    if (offset + sizeof(USHORT) + length > r.buffer.size()) return text;
    text.resize(length / sizeof(char16_t));
    memcpy(text.data(), base + offset + sizeof(USHORT), length);
    return text;
  };
  info.registry_path = counted(reg->RegistryPath);
  info.mof_resource = counted(reg->MofResourceName);
  for (ULONG i = 0; i < reg->GuidCount; ++i) {
    if (offsetof(WMIREGINFOW, WmiRegGuid) + (i + 1) * sizeof(WMIREGGUIDW) > r.buffer.size()) break;
    const WMIREGGUIDW& g = reg->WmiRegGuid[i];
    info.guids.push_back(
        {g.Guid, g.Flags, g.InstanceCount,
         (g.Flags & WMIREG_FLAG_INSTANCE_PDO) ? reinterpret_cast<PDEVICE_OBJECT>(g.Pdo) : nullptr});
  }
  return info;
}

namespace {

DataResult parse_data(const SystemControlResult& r, bool all) {
  DataResult data;
  data.status = r.status;
  data.information = r.information;
  const uint8_t* base = r.buffer.data();
  if (r.buffer.size() >= sizeof(WNODE_TOO_SMALL)) {
    auto header = reinterpret_cast<const WNODE_HEADER*>(base);
    if (header->Flags & WNODE_FLAG_TOO_SMALL) {
      data.too_small = true;
      data.size_needed = reinterpret_cast<const WNODE_TOO_SMALL*>(base)->SizeNeeded;
      return data;
    }
  }
  if (!NT_SUCCESS(r.status)) return data;
  auto slice = [&](ULONG offset, ULONG length) {
    if (static_cast<std::size_t>(offset) + length > r.buffer.size()) return std::vector<uint8_t>();
    return std::vector<uint8_t>(base + offset, base + offset + length);
  };
  if (all) {
    auto wnode = reinterpret_cast<const WNODE_ALL_DATA*>(base);
    for (ULONG k = 0; k < wnode->InstanceCount; ++k) {
      if (wnode->WnodeHeader.Flags & WNODE_FLAG_FIXED_INSTANCE_SIZE) {
        ULONG stride = (wnode->FixedInstanceSize + 7) & ~7u;
        data.instances.push_back(slice(wnode->DataBlockOffset + k * stride, wnode->FixedInstanceSize));
      } else {
        const OFFSETINSTANCEDATAANDLENGTH& e = wnode->OffsetInstanceDataAndLength[k];
        data.instances.push_back(slice(e.OffsetInstanceData, e.LengthInstanceData));
      }
    }
  } else {
    auto wnode = reinterpret_cast<const WNODE_SINGLE_INSTANCE*>(base);
    data.instances.push_back(slice(wnode->DataBlockOffset, wnode->SizeDataBlock));
  }
  return data;
}

}  // namespace

DataResult query_all_data(PDEVICE_OBJECT device, const GUID& guid, ULONG buffer_size) {
  std::vector<uint8_t> buffer(std::max<ULONG>(buffer_size, sizeof(WNODE_ALL_DATA)), 0);
  auto wnode = reinterpret_cast<PWNODE_ALL_DATA>(buffer.data());
  wnode->WnodeHeader.BufferSize = buffer_size;
  wnode->WnodeHeader.Guid = guid;
  wnode->WnodeHeader.Flags = WNODE_FLAG_ALL_DATA;
  buffer.resize(buffer_size);
  auto held_guid = std::make_shared<GUID>(guid);
  return parse_data(send(device, IRP_MN_QUERY_ALL_DATA, held_guid.get(), std::move(buffer)), true);
}

DataResult query_single_instance(PDEVICE_OBJECT device, const GUID& guid, ULONG instance_index,
                                 ULONG buffer_size) {
  std::vector<uint8_t> buffer(std::max<ULONG>(buffer_size, sizeof(WNODE_SINGLE_INSTANCE)), 0);
  auto wnode = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer.data());
  wnode->WnodeHeader.BufferSize = buffer_size;
  wnode->WnodeHeader.Guid = guid;
  wnode->WnodeHeader.Flags = WNODE_FLAG_SINGLE_INSTANCE;
  wnode->InstanceIndex = instance_index;
  wnode->DataBlockOffset = (static_cast<ULONG>(sizeof(WNODE_SINGLE_INSTANCE)) + 7) & ~7u;
  buffer.resize(buffer_size);
  auto held_guid = std::make_shared<GUID>(guid);
  return parse_data(send(device, IRP_MN_QUERY_SINGLE_INSTANCE, held_guid.get(), std::move(buffer)), false);
}

}  // namespace emu::wmi
