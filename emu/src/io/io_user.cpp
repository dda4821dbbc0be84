// User-mode style handles: a file object per open, requests built as the I/O
// manager builds them for a user's ReadFile/WriteFile/DeviceIoControl
// (buffered I/O: a system buffer copied in, and back up to the length asked
// for), CancelIo, and cleanup then close in the system's order.
//
// Ownership: a request's packet is freed by whichever finishes last of its
// completion and any IoCancelIrp in progress on it (irp_users), so a cancel
// never touches a freed packet.  A file's last reference (its handles plus its
// requests in flight) sends IRP_MJ_CLOSE, from a worker thread when that is a
// completion at raised IRQL.
#include "io/io_internal.h"

#include <algorithm>

namespace emu {

struct Request::State {
  std::mutex m;
  std::condition_variable cv;
  PIRP irp = nullptr;
  int irp_users = 1;  // the completion, plus cancels in progress
  bool completed = false;
  int completions = 0;
  std::chrono::steady_clock::time_point completed_at{};
  NTSTATUS returned = STATUS_PENDING;
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
  std::vector<uint8_t> output;
  // What the request was.
  UCHAR major = 0;
  bool buffered = false;
  ULONG length = 0;                  // read length, write length or output length
  std::vector<uint8_t> user_buffer;  // the caller's output buffer
  std::vector<uint8_t> input;        // the caller's input (write data, control input)
  std::shared_ptr<Handle::File> file;
};

struct Handle::File {
  std::mutex m;
  std::condition_variable cv;
  PFILE_OBJECT fo = nullptr;
  PDEVICE_OBJECT device = nullptr;  // the device the name led to
  int handles = 0;
  int refs = 0;  // handles + requests in flight
  std::vector<std::shared_ptr<Request::State>> pending;
  bool cleanup_sent = false;
  bool close_started = false;
  bool closed = false;
  NTSTATUS close_status = STATUS_PENDING;
  bool dead = false;  // forgotten by a kernel reset
};

}  // namespace emu

namespace emu::io {

namespace {

std::mutex g_files_mutex;
std::vector<std::weak_ptr<Handle::File>> g_files;

using File = Handle::File;
using State = Request::State;

NTSTATUS send_close(const std::shared_ptr<File>& file) {
  PDEVICE_OBJECT device = file->device;
  PDEVICE_OBJECT top = IoGetAttachedDevice(device);
  PIRP irp = allocate_irp(top->StackSize, IrpKind::user, false);
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = IRP_MJ_CLOSE;
  sp->FileObject = file->fo;
  irp->Tail.Overlay.OriginalFileObject = file->fo;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  irp->RequestorMode = UserMode;
  irp->Flags = IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API;
  SystemSend r = send_system_irp(top, irp, "IRP_MJ_CLOSE");
  NTSTATUS status = r.completed ? r.status : STATUS_PENDING;
  with_device(device, [](DeviceInfo& info) { --info.open_files; });
  InterlockedDecrement(&device->ReferenceCount);
  PFILE_OBJECT fo;
  {
    std::lock_guard<std::mutex> lock(file->m);
    fo = file->fo;
    if (r.completed) file->fo = nullptr;
  }
  if (r.completed) std::free(fo);
  pnp_note_file_closed(device);
  ObfDereferenceObject(device);
  // Closed only now: a waiter may tear everything down once it hears it.
  std::lock_guard<std::mutex> lock(file->m);
  file->closed = true;
  file->close_status = status;
  file->cv.notify_all();
  return status;
}

// Drops one reference of the file; the last one sends the close.  `can_block`:
// the caller is at PASSIVE_LEVEL and may wait for the close itself.
NTSTATUS drop_file_ref(const std::shared_ptr<File>& file, bool can_block) {
  {
    std::lock_guard<std::mutex> lock(file->m);
    if (--file->refs > 0 || file->handles > 0 || file->close_started || file->dead) return STATUS_PENDING;
    file->close_started = true;
  }
  if (can_block && KeGetCurrentIrql() == PASSIVE_LEVEL) return send_close(file);
  system_work_begin();
  emu::ke::queue_work_item(
      [file] {
        send_close(file);
        system_work_end();
      },
      "IRP_MJ_CLOSE");
  return STATUS_PENDING;
}

void finish_user(const std::shared_ptr<State>& state, PIRP irp) {
  NTSTATUS status = irp->IoStatus.Status;
  ULONG_PTR information = irp->IoStatus.Information;
  std::vector<uint8_t> output;
  bool reads_back = state->major == IRP_MJ_READ || state->major == IRP_MJ_DEVICE_CONTROL;
  if (information > state->length && (reads_back || state->major == IRP_MJ_WRITE) && !NT_ERROR(status))
    verifier::report(emu::verifier::Rule::information_exceeds_buffer, "", irp,
                     describe_irp(irp) + " completed with Information " + std::to_string(information) +
                         " for a buffer of " + std::to_string(state->length) + " bytes");
  if (reads_back && !NT_ERROR(status) && state->length != 0) {
    ULONG_PTR n = std::min<ULONG_PTR>(information, state->length);
    if (state->buffered) {
      if (irp->AssociatedIrp.SystemBuffer != nullptr)
        memcpy(state->user_buffer.data(), irp->AssociatedIrp.SystemBuffer, n);
    }
    output.assign(state->user_buffer.begin(), state->user_buffer.begin() + static_cast<std::ptrdiff_t>(n));
  }
  if (irp->Flags & IRP_DEALLOCATE_BUFFER) {
    std::free(irp->AssociatedIrp.SystemBuffer);
    irp->AssociatedIrp.SystemBuffer = nullptr;
  }
  free_irp_mdls(irp);
  // The request lets go of its file before anyone can see it completed: a
  // caller that closes its handle right after the completion must find no
  // request of its own still holding the file (which would defer the close).
  std::shared_ptr<File> file = state->file;
  {
    std::lock_guard<std::mutex> lock(file->m);
    std::erase(file->pending, state);
  }
  drop_file_ref(file, false);
  bool free_now;
  {
    std::lock_guard<std::mutex> lock(state->m);
    if (++state->completions > 1)
      verifier::report(emu::verifier::Rule::irp_completed_twice, "", irp,
                       "a user request was completed more than once");
    state->completed = true;
    state->completed_at = std::chrono::steady_clock::now();
    state->status = status;
    state->information = information;
    state->output = std::move(output);
    free_now = --state->irp_users == 0;
    if (free_now) state->irp = nullptr;
    state->cv.notify_all();
  }
  if (free_now) release_irp(irp);
}

std::shared_ptr<State> failed_state(NTSTATUS status) {
  auto state = std::make_shared<State>();
  state->completed = true;
  state->completed_at = std::chrono::steady_clock::now();
  state->returned = state->status = status;
  return state;
}

std::shared_ptr<State> send_request(const std::shared_ptr<File>& file, UCHAR major, ULONG code,
                                    std::span<const uint8_t> input, ULONG output_length) {
  if (!file) return failed_state(STATUS_INVALID_HANDLE);
  {
    std::lock_guard<std::mutex> lock(file->m);
    if (file->dead || file->handles == 0) return failed_state(STATUS_INVALID_HANDLE);
    ++file->refs;
  }
  auto state = std::make_shared<State>();
  state->major = major;
  state->file = file;
  PDEVICE_OBJECT top = IoGetAttachedDevice(file->device);
  PIRP irp = allocate_irp(top->StackSize, IrpKind::user, false);
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = major;
  sp->FileObject = file->fo;
  irp->Tail.Overlay.OriginalFileObject = file->fo;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  irp->RequestorMode = UserMode;
  state->input.assign(input.begin(), input.end());
  bool buffered_device = (top->Flags & DO_BUFFERED_IO) != 0;
  bool direct = false;  // MdlAddress describes UserBuffer
  LOCK_OPERATION direct_operation = IoWriteAccess;
  switch (major) {
    case IRP_MJ_READ:
      state->length = output_length;
      state->user_buffer.assign(output_length, 0);
      sp->Parameters.Read.Length = output_length;
      irp->Flags = IRP_READ_OPERATION;
      if (buffered_device) {
        state->buffered = true;
        if (output_length != 0) irp->AssociatedIrp.SystemBuffer = std::calloc(1, output_length);
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | IRP_INPUT_OPERATION;
      } else if (top->Flags & DO_DIRECT_IO) {
        direct = output_length != 0;
      }
      irp->UserBuffer = state->user_buffer.data();
      break;
    case IRP_MJ_WRITE:
      state->length = static_cast<ULONG>(input.size());
      sp->Parameters.Write.Length = state->length;
      irp->Flags = IRP_WRITE_OPERATION;
      if (buffered_device) {
        state->buffered = true;
        if (!input.empty()) {
          irp->AssociatedIrp.SystemBuffer = std::calloc(1, input.size());
          memcpy(irp->AssociatedIrp.SystemBuffer, input.data(), input.size());
        }
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
      } else if (top->Flags & DO_DIRECT_IO) {
        direct = !input.empty();
        direct_operation = IoReadAccess;
      }
      irp->UserBuffer = state->input.data();
      break;
    default: {  // IRP_MJ_DEVICE_CONTROL
      state->length = output_length;
      state->user_buffer.assign(output_length, 0);
      sp->Parameters.DeviceIoControl.OutputBufferLength = output_length;
      sp->Parameters.DeviceIoControl.InputBufferLength = static_cast<ULONG>(input.size());
      sp->Parameters.DeviceIoControl.IoControlCode = code;
      ULONG method = METHOD_FROM_CTL_CODE(code);
      if (method == METHOD_BUFFERED) {
        state->buffered = true;
        std::size_t size = std::max<std::size_t>(input.size(), output_length);
        if (size != 0) {
          irp->AssociatedIrp.SystemBuffer = std::calloc(1, size);
          if (!input.empty()) memcpy(irp->AssociatedIrp.SystemBuffer, input.data(), input.size());
          irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (output_length ? IRP_INPUT_OPERATION : 0);
        }
      } else if (method == METHOD_NEITHER) {
        sp->Parameters.DeviceIoControl.Type3InputBuffer = state->input.data();
      } else {
        // Direct: the input is buffered, the output buffer described by an
        // MDL (read by the device for IN_DIRECT, written for OUT_DIRECT).
        if (!input.empty()) {
          irp->AssociatedIrp.SystemBuffer = std::calloc(1, input.size());
          memcpy(irp->AssociatedIrp.SystemBuffer, input.data(), input.size());
          irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        }
        direct = output_length != 0;
        direct_operation = method == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess;
      }
      irp->UserBuffer = state->user_buffer.data();
      break;
    }
  }
  if (direct && allocate_locked_mdl(irp->UserBuffer, state->length, direct_operation, irp) == nullptr) {
    if (irp->Flags & IRP_DEALLOCATE_BUFFER) std::free(irp->AssociatedIrp.SystemBuffer);
    release_irp(irp);
    drop_file_ref(file, true);
    return failed_state(STATUS_INSUFFICIENT_RESOURCES);
  }
  {
    std::lock_guard<std::mutex> lock(state->m);
    state->irp = irp;
  }
  {
    std::lock_guard<std::mutex> lock(file->m);
    file->pending.push_back(state);
  }
  auto rec = irp_record(irp);
  {
    std::lock_guard<std::mutex> lock(rec->m);
    rec->on_finished = [state](PIRP p) { finish_user(state, p); };
  }
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    verifier::report(emu::verifier::Rule::system_request_irql, "", irp,
                     "user request sent above PASSIVE_LEVEL");
  NTSTATUS returned = call_driver_for_requester(top, irp);
  std::lock_guard<std::mutex> lock(state->m);
  state->returned = returned;
  if (returned != STATUS_PENDING) {
    if (!state->completed)
      verifier::report(emu::verifier::Rule::status_returned_without_completion, "", state.get(),
                       "the dispatch routine returned " + std::to_string(returned) +
                           " (not STATUS_PENDING) for a request it had not completed");
    else if (returned != state->status)
      verifier::report(emu::verifier::Rule::status_mismatch, "", state.get(),
                       "the dispatch routine returned " + std::to_string(returned) +
                           " but completed the request with " + std::to_string(state->status));
  }
  return state;
}

IoResult wait_result(const std::shared_ptr<State>& state) {
  Request request(state);
  IoResult result;
  if (!request.wait()) {
    verifier::report(emu::verifier::Rule::request_not_completed, "", state.get(),
                     "a synchronous request was not completed within " +
                         std::to_string(request_wait_limit().count()) + " ms");
    return result;
  }
  std::lock_guard<std::mutex> lock(state->m);
  result.status = state->status;
  result.information = state->information;
  result.output = state->output;
  result.completed = true;
  return result;
}

}  // namespace

void reset_files() {
  std::vector<std::shared_ptr<File>> live;
  {
    std::lock_guard<std::mutex> lock(g_files_mutex);
    for (auto& weak : g_files)
      if (auto file = weak.lock()) live.push_back(file);
    g_files.clear();
  }
  for (auto& file : live) {
    std::vector<std::shared_ptr<State>> pending;
    {
      std::lock_guard<std::mutex> lock(file->m);
      if (file->dead) continue;
      file->dead = true;
      if (file->handles > 0 || !file->closed)
        verifier::report(emu::verifier::Rule::handle_left_open, narrow(emu::device_name(file->device)),
                         file->fo,
                         "a handle to " + narrow(emu::device_name(file->device)) + " was not closed");
      pending.swap(file->pending);
      std::free(file->fo);
      file->fo = nullptr;
      file->cv.notify_all();
    }
    for (auto& state : pending) {
      std::lock_guard<std::mutex> lock(state->m);
      state->irp = nullptr;
      state->file.reset();
      state->cv.notify_all();
    }
  }
}

}  // namespace emu::io

namespace emu {

using namespace emu::io;

// ---- Request ----------------------------------------------------------------------------

bool Request::wait(std::chrono::milliseconds limit) {
  return wait_for(state_->m, state_->cv, limit, [&] { return state_->completed; });
}

bool Request::completed() const {
  std::lock_guard<std::mutex> lock(state_->m);
  return state_->completed;
}

std::optional<std::chrono::steady_clock::time_point> Request::completed_at() const {
  std::lock_guard<std::mutex> lock(state_->m);
  if (!state_->completed) return std::nullopt;
  return state_->completed_at;
}

NTSTATUS Request::returned() const {
  std::lock_guard<std::mutex> lock(state_->m);
  return state_->returned;
}

NTSTATUS Request::status() const {
  std::lock_guard<std::mutex> lock(state_->m);
  return state_->status;
}

ULONG_PTR Request::information() const {
  std::lock_guard<std::mutex> lock(state_->m);
  return state_->information;
}

std::vector<uint8_t> Request::output() const {
  std::lock_guard<std::mutex> lock(state_->m);
  return state_->output;
}

bool Request::cancel() {
  PIRP irp;
  {
    std::lock_guard<std::mutex> lock(state_->m);
    if (state_->completed || state_->irp == nullptr) return false;
    irp = state_->irp;
    ++state_->irp_users;
  }
  BOOLEAN cancelled = IoCancelIrp(irp);
  bool free_now;
  {
    std::lock_guard<std::mutex> lock(state_->m);
    free_now = --state_->irp_users == 0;
    if (free_now) state_->irp = nullptr;
  }
  if (free_now) release_irp(irp);
  return cancelled != FALSE;
}

// ---- Handle --------------------------------------------------------------------------------

Handle open(std::u16string_view name, ACCESS_MASK access, ULONG share) {
  Handle handle;
  std::u16string resolved;
  PDEVICE_OBJECT device = resolve_device(name, &resolved);
  if (device == nullptr) {
    handle.status_ = STATUS_OBJECT_NAME_NOT_FOUND;
    return handle;
  }
  bool refuse_exclusive = false;
  with_device(device, [&](DeviceInfo& info) {
    refuse_exclusive = (device->Flags & DO_EXCLUSIVE) && info.open_files;
  });
  if (device->Flags & DO_DEVICE_INITIALIZING) {
    handle.status_ = STATUS_NO_SUCH_DEVICE;
    return handle;
  }
  if (refuse_exclusive) {
    handle.status_ = STATUS_ACCESS_DENIED;
    return handle;
  }
  auto file = std::make_shared<File>();
  file->device = device;
  auto fo = static_cast<PFILE_OBJECT>(std::calloc(1, sizeof(FILE_OBJECT)));
  fo->Type = IO_TYPE_FILE;
  fo->Size = sizeof(FILE_OBJECT);
  fo->DeviceObject = device;
  fo->ReadAccess = (access & (GENERIC_READ | FILE_READ_DATA | GENERIC_ALL)) ? TRUE : FALSE;
  fo->WriteAccess = (access & (GENERIC_WRITE | FILE_WRITE_DATA | GENERIC_ALL)) ? TRUE : FALSE;
  fo->SharedRead = (share & FILE_SHARE_READ) ? TRUE : FALSE;
  fo->SharedWrite = (share & FILE_SHARE_WRITE) ? TRUE : FALSE;
  fo->SharedDelete = (share & FILE_SHARE_DELETE) ? TRUE : FALSE;
  KeInitializeEvent(&fo->Lock, SynchronizationEvent, FALSE);
  KeInitializeEvent(&fo->Event, NotificationEvent, FALSE);
  InitializeListHead(&fo->IrpList);
  file->fo = fo;
  ObfReferenceObject(device);
  InterlockedIncrement(&device->ReferenceCount);
  with_device(device, [](DeviceInfo& info) { ++info.open_files; });

  PDEVICE_OBJECT top = IoGetAttachedDevice(device);
  PIRP irp = allocate_irp(top->StackSize, IrpKind::user, false);
  IO_SECURITY_CONTEXT security{};
  security.DesiredAccess = access;
  security.FullCreateOptions = FILE_NON_DIRECTORY_FILE;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = IRP_MJ_CREATE;
  sp->Parameters.Create.SecurityContext = &security;
  sp->Parameters.Create.Options = (FILE_OPEN << 24) | FILE_NON_DIRECTORY_FILE;
  sp->Parameters.Create.ShareAccess = static_cast<USHORT>(share);
  sp->FileObject = fo;
  irp->Tail.Overlay.OriginalFileObject = fo;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  irp->RequestorMode = UserMode;
  irp->Flags = IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API;
  SystemSend r = send_system_irp(top, irp, "IRP_MJ_CREATE");
  if (r.completed && NT_SUCCESS(r.status)) {
    fo->Flags |= FO_HANDLE_CREATED;
    file->handles = 1;
    file->refs = 1;
    handle.file_ = file;
    handle.status_ = r.status;
    handle.open_ = true;
    std::lock_guard<std::mutex> lock(g_files_mutex);
    g_files.push_back(file);
    return handle;
  }
  handle.status_ = r.completed ? r.status : STATUS_PENDING;
  with_device(device, [](DeviceInfo& info) { --info.open_files; });
  InterlockedDecrement(&device->ReferenceCount);
  // A create still pending keeps its file object: the driver may touch it later.
  if (r.completed) std::free(fo);
  ObfDereferenceObject(device);
  return handle;
}

Handle::Handle(Handle&& other) noexcept
    : file_(std::move(other.file_)), status_(other.status_), open_(other.open_) {
  other.open_ = false;
}

Handle& Handle::operator=(Handle&& other) noexcept {
  if (this != &other) {
    if (open_) close();
    file_ = std::move(other.file_);
    status_ = other.status_;
    open_ = other.open_;
    other.open_ = false;
  }
  return *this;
}

Handle::~Handle() {
  if (open_) close();
}

bool Handle::is_open() const {
  if (!open_ || !file_) return false;
  std::lock_guard<std::mutex> lock(file_->m);
  return !file_->dead;
}

PFILE_OBJECT Handle::file_object() const {
  if (!file_) return nullptr;
  std::lock_guard<std::mutex> lock(file_->m);
  return file_->fo;
}

RequestPtr Handle::read_async(ULONG length) {
  return std::make_shared<Request>(send_request(open_ ? file_ : nullptr, IRP_MJ_READ, 0, {}, length));
}

RequestPtr Handle::write_async(std::span<const uint8_t> data) {
  return std::make_shared<Request>(send_request(open_ ? file_ : nullptr, IRP_MJ_WRITE, 0, data, 0));
}

RequestPtr Handle::write_async(std::string_view data) {
  return write_async(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(data.data()), data.size()));
}

RequestPtr Handle::ioctl_async(ULONG code, std::span<const uint8_t> input, ULONG output_length) {
  return std::make_shared<Request>(
      send_request(open_ ? file_ : nullptr, IRP_MJ_DEVICE_CONTROL, code, input, output_length));
}

IoResult Handle::read(ULONG length) {
  return wait_result(send_request(open_ ? file_ : nullptr, IRP_MJ_READ, 0, {}, length));
}

IoResult Handle::write(std::span<const uint8_t> data) {
  return wait_result(send_request(open_ ? file_ : nullptr, IRP_MJ_WRITE, 0, data, 0));
}

IoResult Handle::write(std::string_view data) {
  return write(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(data.data()), data.size()));
}

IoResult Handle::ioctl(ULONG code, std::span<const uint8_t> input, ULONG output_length) {
  return wait_result(
      send_request(open_ ? file_ : nullptr, IRP_MJ_DEVICE_CONTROL, code, input, output_length));
}

std::size_t Handle::cancel_io() {
  if (!file_) return 0;
  std::vector<std::shared_ptr<State>> pending;
  {
    std::lock_guard<std::mutex> lock(file_->m);
    pending = file_->pending;
  }
  for (auto& state : pending) Request(state).cancel();
  return pending.size();
}

std::size_t Handle::pending() const {
  if (!file_) return 0;
  std::lock_guard<std::mutex> lock(file_->m);
  return file_->pending.size();
}

Handle Handle::duplicate() const {
  Handle copy;
  if (!is_open()) return copy;
  std::lock_guard<std::mutex> lock(file_->m);
  ++file_->handles;
  ++file_->refs;
  copy.file_ = file_;
  copy.status_ = status_;
  copy.open_ = true;
  return copy;
}

CloseResult Handle::close() {
  CloseResult result;
  if (!open_ || !file_) {
    result.cleanup = result.close = STATUS_INVALID_HANDLE;
    return result;
  }
  open_ = false;
  std::shared_ptr<File> file = file_;
  {
    std::lock_guard<std::mutex> lock(file->m);
    if (file->dead) {
      result.cleanup = result.close = STATUS_INVALID_HANDLE;
      return result;
    }
    if (--file->handles > 0) {
      --file->refs;
      return result;
    }
  }
  PDEVICE_OBJECT top = IoGetAttachedDevice(file->device);
  PIRP irp = allocate_irp(top->StackSize, IrpKind::user, false);
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = IRP_MJ_CLEANUP;
  sp->FileObject = file->fo;
  irp->Tail.Overlay.OriginalFileObject = file->fo;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  irp->RequestorMode = UserMode;
  irp->Flags = IRP_SYNCHRONOUS_API;
  SystemSend r = send_system_irp(top, irp, "IRP_MJ_CLEANUP");
  result.cleanup = r.completed ? r.status : STATUS_PENDING;
  {
    std::lock_guard<std::mutex> lock(file->m);
    file->cleanup_sent = true;
    if (file->fo != nullptr) file->fo->Flags |= FO_CLEANUP_COMPLETE;
  }
  result.close = drop_file_ref(file, true);
  return result;
}

bool Handle::wait_closed(std::chrono::milliseconds limit) {
  if (!file_) return true;
  return wait_for(file_->m, file_->cv, limit, [&] { return file_->closed || file_->dead; });
}

NTSTATUS Handle::close_status() const {
  if (!file_) return STATUS_INVALID_HANDLE;
  std::lock_guard<std::mutex> lock(file_->m);
  return file_->closed ? file_->close_status : STATUS_PENDING;
}

}  // namespace emu
