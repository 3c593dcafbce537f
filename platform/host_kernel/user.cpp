// A simulated user process: the Win32 file and device calls a monitor
// program makes, carried out as the I/O manager carries them out for a
// user thread (file objects, create/cleanup/close, buffered device
// control), and the Win32 error each failing status becomes.
#include <cstring>

#include "internal.h"

namespace hostk {
namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

struct StatusToError {
  NTSTATUS status;
  DWORD error;
};

constexpr StatusToError kErrorTable[] = {
    {STATUS_SUCCESS, ERROR_SUCCESS},
    {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
    {STATUS_NOT_IMPLEMENTED, ERROR_INVALID_FUNCTION},
    {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
    {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
    {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
    {STATUS_NO_SUCH_DEVICE, ERROR_FILE_NOT_FOUND},
    {STATUS_NO_SUCH_FILE, ERROR_FILE_NOT_FOUND},
    {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
    {STATUS_OBJECT_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
    {STATUS_OBJECT_NAME_INVALID, ERROR_INVALID_NAME},
    {STATUS_OBJECT_NAME_COLLISION, ERROR_ALREADY_EXISTS},
    {STATUS_END_OF_FILE, ERROR_HANDLE_EOF},
    {STATUS_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
    {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
    {STATUS_SHARING_VIOLATION, ERROR_SHARING_VIOLATION},
    {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
    {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
    {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
    {STATUS_DEVICE_NOT_READY, ERROR_NOT_READY},
    {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
    {STATUS_INVALID_DEVICE_STATE, ERROR_BAD_COMMAND},
    {STATUS_IO_DEVICE_ERROR, ERROR_IO_DEVICE},
    {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
    {STATUS_DEVICE_DOES_NOT_EXIST, ERROR_FILE_NOT_FOUND /* ERROR_DEV_NOT_EXIST is 55 */},
};

constexpr ULONG kCustomerBit = 0x20000000u;

// What a handle of the process refers to, and what it may do.
struct OpenFile {
  PFILE_OBJECT file;
  ACCESS_MASK granted;
};

// The last reference to a file object is gone: IRP_MJ_CLOSE, then the
// file object and its device reference go. Its status reaches nobody.
void CloseFileObject(PFILE_OBJECT file);

PFILE_OBJECT NewFileObject(PDEVICE_OBJECT device, std::string_view remainder) {
  auto* file = new FILE_OBJECT{};
  file->Type = IO_TYPE_FILE;
  file->Size = sizeof(FILE_OBJECT);
  file->DeviceObject = device;
  KeInitializeEvent(&file->Lock, SynchronizationEvent, FALSE);
  KeInitializeEvent(&file->Event, NotificationEvent, FALSE);
  if (!remainder.empty()) {
    std::vector<WCHAR> name = internal::WideFromNarrow(remainder);
    auto* buffer = new WCHAR[name.size()];
    std::copy(name.begin(), name.end(), buffer);
    file->FileName.Buffer = buffer;
    file->FileName.Length = static_cast<USHORT>((name.size() - 1) * sizeof(WCHAR));
    file->FileName.MaximumLength = static_cast<USHORT>(name.size() * sizeof(WCHAR));
  }
  return file;
}

void DeleteFileObject(PFILE_OBJECT file) {
  delete[] file->FileName.Buffer;
  delete file;
}

// Sends an IRP built for the caller to the top of the file's device stack
// and waits for it, as a synchronous Win32 call does.
NTSTATUS SendAndWait(PFILE_OBJECT file, PDEVICE_OBJECT target, PIRP irp, ULONG_PTR* information) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  iosb.Status = STATUS_PENDING;
  irp->UserEvent = &done;
  irp->UserIosb = &iosb;
  irp->RequestorMode = UserMode;
  irp->Tail.Overlay.OriginalFileObject = file;
  IoGetNextIrpStackLocation(irp)->FileObject = file;
  NTSTATUS status = IofCallDriver(target, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, UserMode, FALSE, nullptr);
    status = iosb.Status;
  }
  if (information != nullptr) *information = iosb.Status == STATUS_PENDING ? 0 : iosb.Information;
  // Windows stops with APC_INDEX_MISMATCH when a system call returns to
  // user mode inside a critical region a driver entered.
  if (internal::CriticalRegionDepth() != 0)
    internal::Report(verifier::Rule::kApcIndexMismatch, "a request on file %p returns inside %d critical region(s)",
                     static_cast<void*>(file), internal::CriticalRegionDepth());
  return status;
}

PIRP NewIrp(PDEVICE_OBJECT target, UCHAR majorFunction, ULONG flags) {
  PIRP irp = internal::AllocateIrpInternal(target->StackSize);
  if (irp == nullptr) return nullptr;
  irp->Flags = flags;
  irp->Tail.Overlay.Thread = internal::IoManagerThreadMarker();
  IoGetNextIrpStackLocation(irp)->MajorFunction = majorFunction;
  return irp;
}

BOOL Fail(DWORD error) {
  UserProcess::SetLastError(error);
  return FALSE;
}

BOOL FailStatus(NTSTATUS status) { return Fail(NtStatusToWin32Error(status)); }

}  // namespace

DWORD NtStatusToWin32Error(NTSTATUS status) {
  if (static_cast<ULONG>(status) & kCustomerBit) return static_cast<DWORD>(status);
  for (const StatusToError& entry : kErrorTable)
    if (entry.status == status) return entry.error;
  return ERROR_MR_MID_NOT_FOUND;
}

// A file object is referenced by its handle and by every request on it
// in progress, as the I/O manager references it for each IRP: the close
// comes when the last of them is gone, never while a request on the file
// is still with the driver.
struct UserProcess::Impl {
  explicit Impl(Token processToken) : token(std::move(processToken)) {}

  const Token token;
  std::mutex mutex;
  std::map<ULONG_PTR, OpenFile> handles;
  std::map<PFILE_OBJECT, int> references;
  ULONG_PTR nextHandle = 4;

  // The file of handle with a reference for one request, or null; the
  // handle's granted access in *granted.
  PFILE_OBJECT Reference(HANDLE handle, ACCESS_MASK* granted) {
    std::lock_guard<std::mutex> hold(mutex);
    auto it = handles.find(reinterpret_cast<ULONG_PTR>(handle));
    if (it == handles.end()) return nullptr;
    ++references[it->second.file];
    *granted = it->second.granted;
    return it->second.file;
  }

  void Release(PFILE_OBJECT file) {
    bool last;
    {
      std::lock_guard<std::mutex> hold(mutex);
      last = --references[file] == 0;
      if (last) references.erase(file);
    }
    if (last) CloseFileObject(file);
  }
};

namespace {

// One request's reference to its file, given up when the request is over.
class FileUse {
 public:
  FileUse(UserProcess::Impl* process, HANDLE handle)
      : process_(process), file_(process->Reference(handle, &granted_)) {}
  ~FileUse() {
    if (file_ != nullptr) process_->Release(file_);
  }
  FileUse(const FileUse&) = delete;
  FileUse& operator=(const FileUse&) = delete;
  PFILE_OBJECT File() const { return file_; }
  bool Granted(ACCESS_MASK access) const { return (granted_ & access) == access; }

 private:
  UserProcess::Impl* process_;
  ACCESS_MASK granted_ = 0;
  PFILE_OBJECT file_;
};

// The rights a device control code asks of its handle.
ACCESS_MASK RequiredAccessOf(DWORD ioControlCode) {
  const DWORD required = (ioControlCode >> 14) & 3;
  return ((required & FILE_READ_ACCESS) ? FILE_READ_DATA : 0) | ((required & FILE_WRITE_ACCESS) ? FILE_WRITE_DATA : 0);
}

// "\??\NAME" or "\Device\NAME" and what follows it ("\REST" or "").
bool SplitNtPath(std::string_view ntPath, std::string* object, std::string_view* remainder) {
  for (std::string_view directory : {std::string_view("\\??\\"), std::string_view("\\Device\\")}) {
    if (ntPath.size() <= directory.size() || internal::UpperAscii(ntPath.substr(0, directory.size())) !=
                                                 internal::UpperAscii(directory))
      continue;
    const size_t cut = ntPath.find('\\', directory.size());
    *object = std::string(ntPath.substr(0, cut));
    *remainder = cut == std::string_view::npos ? std::string_view() : ntPath.substr(cut);
    return true;
  }
  return false;
}

// The I/O manager's check before IRP_MJ_CREATE: the named device's
// security decides, for a name below it only with FILE_DEVICE_SECURE_OPEN;
// else only traversal is checked, which every token may bypass except on
// disks and CD-ROMs. Caller holds the object lock.
NTSTATUS CheckOpenAccess(PDEVICE_OBJECT device, bool belowDevice, const Token& token, ACCESS_MASK desired,
                         ACCESS_MASK* granted) {
  const ObjectSecurity& security = internal::DataOf(device)->security;
  if (!belowDevice || (device->Characteristics & FILE_DEVICE_SECURE_OPEN))
    return internal::AccessCheck(security, token, desired, granted);
  if (device->DeviceType == FILE_DEVICE_DISK || device->DeviceType == FILE_DEVICE_CD_ROM) {
    NTSTATUS status = internal::AccessCheck(security, token, FILE_TRAVERSE, granted);
    if (!NT_SUCCESS(status)) return status;
  }
  *granted = (desired & MAXIMUM_ALLOWED) ? ((desired & ~MAXIMUM_ALLOWED) | FILE_ALL_ACCESS) : desired;
  return STATUS_SUCCESS;
}

void CloseFileObject(PFILE_OBJECT file) {
  PDEVICE_OBJECT target = IoGetAttachedDevice(file->DeviceObject);
  if (PIRP irp = NewIrp(target, IRP_MJ_CLOSE, IRP_SYNCHRONOUS_API | IRP_CLOSE_OPERATION))
    SendAndWait(file, target, irp, nullptr);
  ObfDereferenceObject(file->DeviceObject);
  DeleteFileObject(file);
}

}  // namespace

UserProcess::UserProcess(ULONG pid, Token token) : pid_(pid), impl_(new Impl(token)) {
  internal::SetProcessToken(pid, token);
}

UserProcess::~UserProcess() {
  std::vector<ULONG_PTR> open;
  {
    std::lock_guard<std::mutex> hold(impl_->mutex);
    for (const auto& [handle, file] : impl_->handles) open.push_back(handle);
  }
  for (ULONG_PTR handle : open) CloseHandle(reinterpret_cast<HANDLE>(handle));
  internal::ClearProcessToken(pid_);
  delete impl_;
}

DWORD UserProcess::GetLastError() { return t_lastError; }
void UserProcess::SetLastError(DWORD error) { t_lastError = error; }

HANDLE UserProcess::CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode,
                                void* securityAttributes, DWORD creationDisposition,
                                DWORD flagsAndAttributes, HANDLE templateFile) {
  internal::CheckIrql("CreateFileA", PASSIVE_LEVEL);
  (void)securityAttributes;
  (void)creationDisposition;
  (void)templateFile;
  constexpr std::string_view kDevicePrefix = "\\\\.\\";
  std::string_view path = fileName != nullptr ? fileName : "";
  if (path.compare(0, kDevicePrefix.size(), kDevicePrefix) != 0 || path.size() == kDevicePrefix.size()) {
    Fail(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  path.remove_prefix(kDevicePrefix.size());
  HANDLE handle = INVALID_HANDLE_VALUE;
  const NTSTATUS status = NtOpenFile("\\??\\" + std::string(path), desiredAccess | SYNCHRONIZE | FILE_READ_ATTRIBUTES,
                                     shareMode, &handle, flagsAndAttributes & 0x00ffffffu);
  if (!NT_SUCCESS(status)) {
    FailStatus(status);
    return INVALID_HANDLE_VALUE;
  }
  SetLastError(ERROR_SUCCESS);
  return handle;
}

NTSTATUS UserProcess::NtOpenFile(std::string_view ntPath, ACCESS_MASK desiredAccess, ULONG shareAccess,
                                 HANDLE* handle, ULONG openOptions) {
  internal::CheckIrql("NtOpenFile", PASSIVE_LEVEL);
  ProcessScope scope(pid_);
  *handle = INVALID_HANDLE_VALUE;
  std::string objectName;
  std::string_view remainder;
  if (!SplitNtPath(ntPath, &objectName, &remainder)) return STATUS_OBJECT_NAME_NOT_FOUND;
  const ACCESS_MASK desired = internal::MapFileGenericRights(desiredAccess);

  PDEVICE_OBJECT device;
  ACCESS_MASK granted = 0;
  {
    std::lock_guard<std::recursive_mutex> hold(internal::ObjectLock());
    device = internal::ResolveDevicePath(objectName);
    if (device == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (device->Flags & DO_DEVICE_INITIALIZING) return STATUS_NO_SUCH_DEVICE;
    if ((device->Flags & DO_EXCLUSIVE) && device->ReferenceCount > 0) return STATUS_ACCESS_DENIED;
    NTSTATUS status = CheckOpenAccess(device, !remainder.empty(), impl_->token, desired, &granted);
    if (!NT_SUCCESS(status)) return status;
    ObfReferenceObject(device);  // the file object's reference
  }

  PFILE_OBJECT file = NewFileObject(device, remainder);
  file->ReadAccess = (granted & FILE_READ_DATA) != 0;
  file->WriteAccess = (granted & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
  file->SharedRead = (shareAccess & FILE_SHARE_READ) != 0;
  file->SharedWrite = (shareAccess & FILE_SHARE_WRITE) != 0;

  PDEVICE_OBJECT target = IoGetAttachedDevice(device);
  PIRP irp = NewIrp(target, IRP_MJ_CREATE, IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API);
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  IO_SECURITY_CONTEXT security{};
  security.DesiredAccess = desired;
  if (irp != nullptr) {
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->Parameters.Create.SecurityContext = &security;
    sp->Parameters.Create.Options = (FILE_OPEN << 24) | openOptions;
    sp->Parameters.Create.ShareAccess = static_cast<USHORT>(shareAccess);
    status = SendAndWait(file, target, irp, nullptr);
  }
  if (!NT_SUCCESS(status)) {
    DeleteFileObject(file);
    ObfDereferenceObject(device);
    return status;
  }
  std::lock_guard<std::mutex> hold(impl_->mutex);
  ULONG_PTR value = impl_->nextHandle;
  impl_->nextHandle += 4;
  impl_->handles[value] = OpenFile{file, granted};
  impl_->references[file] = 1;  // the handle's
  *handle = reinterpret_cast<HANDLE>(value);
  return STATUS_SUCCESS;
}

BOOL UserProcess::DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer,
                                  DWORD inBufferSize, void* outBuffer, DWORD outBufferSize,
                                  DWORD* bytesReturned, void* overlapped) {
  internal::CheckIrql("DeviceIoControl", PASSIVE_LEVEL);
  ProcessScope scope(pid_);
  if (overlapped != nullptr) return Fail(ERROR_INVALID_PARAMETER);
  FileUse use(impl_, device);
  PFILE_OBJECT file = use.File();
  if (file == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (!use.Granted(RequiredAccessOf(ioControlCode))) return FailStatus(STATUS_ACCESS_DENIED);
  PDEVICE_OBJECT target = IoGetAttachedDevice(file->DeviceObject);
  PIRP irp = internal::BuildDeviceControlIrp(ioControlCode, target->StackSize, inBuffer, inBufferSize,
                                             outBuffer, outBufferSize, FALSE);
  if (irp == nullptr) return FailStatus(STATUS_INSUFFICIENT_RESOURCES);
  ULONG_PTR information = 0;
  NTSTATUS status = SendAndWait(file, target, irp, &information);
  // Warnings (STATUS_BUFFER_OVERFLOW) still report the byte count; errors
  // leave it alone, as kernel32 does.
  if (!NT_ERROR(status) && bytesReturned != nullptr) *bytesReturned = static_cast<DWORD>(information);
  if (!NT_SUCCESS(status)) return FailStatus(status);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

namespace {

// Read and write move data the way the device asks for in its flags.
BOOL Transfer(UserProcess& process, PFILE_OBJECT file, UCHAR majorFunction, void* buffer, DWORD length,
              DWORD* transferred) {
  if (transferred != nullptr) *transferred = 0;
  PDEVICE_OBJECT target = IoGetAttachedDevice(file->DeviceObject);
  bool read = majorFunction == IRP_MJ_READ;
  PIRP irp = NewIrp(target, majorFunction, IRP_SYNCHRONOUS_API | (read ? IRP_READ_OPERATION : IRP_WRITE_OPERATION));
  if (irp == nullptr) return FailStatus(STATUS_INSUFFICIENT_RESOURCES);
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->Parameters.Read.Length = length;
  sp->Parameters.Read.ByteOffset = file->CurrentByteOffset;
  irp->UserBuffer = buffer;
  if ((target->Flags & DO_BUFFERED_IO) && length > 0) {
    void* system = internal::AllocateSystemPool(NonPagedPool, length, MakeTag("IoSb"));
    if (system == nullptr) {
      IoFreeIrp(irp);
      return FailStatus(STATUS_INSUFFICIENT_RESOURCES);
    }
    if (!read) std::memcpy(system, buffer, length);
    irp->AssociatedIrp.SystemBuffer = system;
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (read ? IRP_INPUT_OPERATION : 0);
    irp->Overlay.AllocationSize.QuadPart = length;
  } else if ((target->Flags & DO_DIRECT_IO) && length > 0) {
    IoAllocateMdl(buffer, length, FALSE, FALSE, irp);
  }
  ULONG_PTR information = 0;
  NTSTATUS status = SendAndWait(file, target, irp, &information);
  if (status == STATUS_END_OF_FILE && read) {
    UserProcess::SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  if (!NT_SUCCESS(status)) return FailStatus(status);
  file->CurrentByteOffset.QuadPart += static_cast<LONGLONG>(information);
  if (transferred != nullptr) *transferred = static_cast<DWORD>(information);
  UserProcess::SetLastError(ERROR_SUCCESS);
  (void)process;
  return TRUE;
}

}  // namespace

BOOL UserProcess::ReadFile(HANDLE file, void* buffer, DWORD numberOfBytesToRead,
                           DWORD* numberOfBytesRead, void* overlapped) {
  internal::CheckIrql("ReadFile", PASSIVE_LEVEL);
  ProcessScope scope(pid_);
  if (overlapped != nullptr) return Fail(ERROR_INVALID_PARAMETER);
  FileUse use(impl_, file);
  PFILE_OBJECT object = use.File();
  if (object == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (!use.Granted(FILE_READ_DATA)) return FailStatus(STATUS_ACCESS_DENIED);
  return Transfer(*this, object, IRP_MJ_READ, buffer, numberOfBytesToRead, numberOfBytesRead);
}

BOOL UserProcess::WriteFile(HANDLE file, const void* buffer, DWORD numberOfBytesToWrite,
                            DWORD* numberOfBytesWritten, void* overlapped) {
  internal::CheckIrql("WriteFile", PASSIVE_LEVEL);
  ProcessScope scope(pid_);
  if (overlapped != nullptr) return Fail(ERROR_INVALID_PARAMETER);
  FileUse use(impl_, file);
  PFILE_OBJECT object = use.File();
  if (object == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (!use.Granted(FILE_WRITE_DATA)) return FailStatus(STATUS_ACCESS_DENIED);
  return Transfer(*this, object, IRP_MJ_WRITE, const_cast<void*>(buffer), numberOfBytesToWrite,
                  numberOfBytesWritten);
}

BOOL UserProcess::CloseHandle(HANDLE object) {
  internal::CheckIrql("CloseHandle", PASSIVE_LEVEL);
  ProcessScope scope(pid_);
  PFILE_OBJECT file;
  {
    std::lock_guard<std::mutex> hold(impl_->mutex);
    auto it = impl_->handles.find(reinterpret_cast<ULONG_PTR>(object));
    if (it == impl_->handles.end()) return Fail(ERROR_INVALID_HANDLE);
    file = it->second.file;
    impl_->handles.erase(it);
  }
  // The last handle of the file object goes: cleanup now, close with the
  // last reference. Their statuses do not reach the caller.
  PDEVICE_OBJECT target = IoGetAttachedDevice(file->DeviceObject);
  if (PIRP irp = NewIrp(target, IRP_MJ_CLEANUP, IRP_SYNCHRONOUS_API)) SendAndWait(file, target, irp, nullptr);
  impl_->Release(file);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL UserProcess::QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
  frequency->QuadPart = PerformanceFrequency();
  return TRUE;
}

BOOL UserProcess::QueryPerformanceCounter(LARGE_INTEGER* count) {
  count->QuadPart = PerformanceCounter();
  return TRUE;
}

}  // namespace hostk

extern "C" ULONG NTAPI RtlNtStatusToDosError(NTSTATUS Status) { return hostk::NtStatusToWin32Error(Status); }
