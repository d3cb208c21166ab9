// The file routines drivers call, on the simulated volume. I/O completes at
// once (there is no disk latency in the model); a synchronous open keeps the
// current byte offset. As for any Zw call the previous mode is KernelMode, so
// reads and writes are not checked against the access granted at open; the
// read-only attribute and sharing are checked at open, as file systems do.
// Each call of a driver counts as a file call for fault injection (an
// injected failure returns STATUS_INSUFFICIENT_RESOURCES).
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "ntstatus.h"
#include "nt/zw.h"
#include "sim/kernel/object_attributes.h"
#include "sim/kernel/files/disk_file_object.h"
#include "sim/kernel/files/file_system.h"
#include "sim/kernel/fault_plan.h"
#include "sim/kernel/irql_rules.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/utf16_text.h"

namespace sim {
namespace {

// Counts a driver's call for fault injection; true when it must fail.
bool InjectedFailure(const DriverImage* caller) {
  return K().faults && K().faults->ShouldFail(FaultKind::File, caller);
}

NTSTATUS Fail(PHANDLE handle, PIO_STATUS_BLOCK io_status) {
  if (handle != nullptr) *handle = nullptr;
  if (io_status != nullptr) {
    io_status->Status = STATUS_INSUFFICIENT_RESOURCES;
    io_status->Information = 0;
  }
  return STATUS_INSUFFICIENT_RESOURCES;
}

constexpr ULONG kWriteAccess = FILE_WRITE_DATA | FILE_APPEND_DATA;
constexpr ULONGLONG kClusterSize = 4096;

ACCESS_MASK MapGenericAccess(ACCESS_MASK access, bool read_only) {
  if (access & GENERIC_READ) access |= FILE_GENERIC_READ;
  if (access & GENERIC_WRITE) access |= FILE_GENERIC_WRITE;
  if (access & GENERIC_EXECUTE) access |= FILE_GENERIC_EXECUTE;
  if (access & GENERIC_ALL) access |= FILE_ALL_ACCESS;
  if (access & MAXIMUM_ALLOWED)
    access |= read_only ? (FILE_GENERIC_READ | FILE_GENERIC_EXECUTE | DELETE) : FILE_ALL_ACCESS;
  return access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
}

NTSTATUS Finish(PIO_STATUS_BLOCK io_status, NTSTATUS status, ULONG_PTR information) {
  if (io_status != nullptr) {
    io_status->Status = status;
    io_status->Information = information;
  }
  return status;
}

struct CreateRequest {
  ACCESS_MASK access;
  POBJECT_ATTRIBUTES attributes;
  ULONG file_attributes;
  ULONG share;
  ULONG disposition;
  ULONG options;
};

// The directory the name starts from and the components below it.
NTSTATUS ParseFileName(const OBJECT_ATTRIBUTES* attributes, std::shared_ptr<FileNode>& start,
                       std::vector<std::u16string_view>& components) {
  std::u16string_view text;
  if (NTSTATUS status = CheckObjectAttributes(attributes, &text); !NT_SUCCESS(status)) return status;
  if (attributes->RootDirectory != nullptr) {
    std::shared_ptr<DiskFileObject> root;
    NTSTATUS status = FileFromHandle(attributes->RootDirectory, root);
    if (!NT_SUCCESS(status)) return status;
    if (!root->node()->is_directory() || (!text.empty() && text[0] == u'\\'))
      return STATUS_INVALID_PARAMETER;
    start = root->node();
    components = SplitPath(text);
    return STATUS_SUCCESS;
  }
  if (text.empty() || text[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  if (!FileSystem::VolumeComponents(text, components)) {
    // Not on the volume: a missing object of the object namespace.
    return SplitPath(text).size() > 1 ? STATUS_OBJECT_PATH_NOT_FOUND
                                       : STATUS_OBJECT_NAME_NOT_FOUND;
  }
  start = K().files->volume_root();
  return STATUS_SUCCESS;
}

NTSTATUS CheckRequest(const CreateRequest& r) {
  if (r.disposition > FILE_MAXIMUM_DISPOSITION) return STATUS_INVALID_PARAMETER;
  if (r.options & ~static_cast<ULONG>(FILE_VALID_OPTION_FLAGS)) return STATUS_INVALID_PARAMETER;
  if ((r.options & FILE_DIRECTORY_FILE) && (r.options & FILE_NON_DIRECTORY_FILE))
    return STATUS_INVALID_PARAMETER;
  if ((r.options & FILE_SYNCHRONOUS_IO_ALERT) && (r.options & FILE_SYNCHRONOUS_IO_NONALERT))
    return STATUS_INVALID_PARAMETER;
  if ((r.options & FILE_DIRECTORY_FILE) && r.disposition != FILE_CREATE &&
      r.disposition != FILE_OPEN && r.disposition != FILE_OPEN_IF)
    return STATUS_INVALID_PARAMETER;
  if (r.share & ~static_cast<ULONG>(FILE_SHARE_VALID_FLAGS)) return STATUS_INVALID_PARAMETER;
  return STATUS_SUCCESS;
}

std::shared_ptr<FileShare> ShareOf(ACCESS_MASK access, ULONG share) {
  auto s = std::make_shared<FileShare>();
  s->read = (access & (FILE_READ_DATA | FILE_EXECUTE)) != 0;
  s->write = (access & kWriteAccess) != 0;
  s->remove = (access & DELETE) != 0;
  s->share_read = (share & FILE_SHARE_READ) != 0;
  s->share_write = (share & FILE_SHARE_WRITE) != 0;
  s->share_delete = (share & FILE_SHARE_DELETE) != 0;
  return s;
}

// Opens an existing file or directory as the request says.
NTSTATUS OpenExisting(const CreateRequest& r, FileNode& node, ACCESS_MASK& access,
                      ULONG_PTR& information) {
  if (r.disposition == FILE_CREATE) {
    information = FILE_EXISTS;
    return STATUS_OBJECT_NAME_COLLISION;
  }
  if (node.is_directory()) {
    if (r.options & FILE_NON_DIRECTORY_FILE) return STATUS_FILE_IS_A_DIRECTORY;
    if (r.disposition != FILE_OPEN && r.disposition != FILE_OPEN_IF)
      return STATUS_FILE_IS_A_DIRECTORY;
  } else if (r.options & FILE_DIRECTORY_FILE) {
    return STATUS_NOT_A_DIRECTORY;
  }
  access = MapGenericAccess(r.access, node.read_only);
  const bool replaces = r.disposition == FILE_SUPERSEDE || r.disposition == FILE_OVERWRITE ||
                        r.disposition == FILE_OVERWRITE_IF;
  if (node.read_only && ((access & kWriteAccess) || replaces)) return STATUS_ACCESS_DENIED;
  if (!node.ShareCompatible(*ShareOf(access, r.share))) return STATUS_SHARING_VIOLATION;
  if (replaces) {
    node.data.clear();
    node.read_only = (r.file_attributes & FILE_ATTRIBUTE_READONLY) != 0;
    information = r.disposition == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN;
  } else {
    information = FILE_OPENED;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CreateFile(PHANDLE handle, const CreateRequest& r, PIO_STATUS_BLOCK io_status,
                    const DriverImage* owner) {
  if (handle == nullptr || io_status == nullptr) return STATUS_INVALID_PARAMETER;
  *handle = nullptr;
  NTSTATUS status = CheckRequest(r);
  if (!NT_SUCCESS(status)) return Finish(io_status, status, 0);
  std::shared_ptr<FileNode> start;
  std::vector<std::u16string_view> components;
  status = ParseFileName(r.attributes, start, components);
  if (!NT_SUCCESS(status)) return Finish(io_status, status, 0);

  std::shared_ptr<FileNode> parent = start;
  for (size_t i = 0; i + 1 < components.size(); ++i) {
    parent = parent->FindChild(components[i]);
    if (!parent || !parent->is_directory())
      return Finish(io_status, STATUS_OBJECT_PATH_NOT_FOUND, 0);
  }
  std::shared_ptr<FileNode> node;
  if (components.empty()) {
    node = start;
  } else {
    if (!IsValidFileName(components.back()))
      return Finish(io_status, STATUS_OBJECT_NAME_INVALID, 0);
    node = parent->FindChild(components.back());
  }

  ACCESS_MASK access = 0;
  ULONG_PTR information = 0;
  if (node) {
    status = OpenExisting(r, *node, access, information);
    if (!NT_SUCCESS(status)) return Finish(io_status, status, information);
  } else {
    if (r.disposition == FILE_OPEN || r.disposition == FILE_OVERWRITE)
      return Finish(io_status, STATUS_OBJECT_NAME_NOT_FOUND, FILE_DOES_NOT_EXIST);
    node = K().files->AddChild(*parent, components.back(), (r.options & FILE_DIRECTORY_FILE) != 0);
    node->read_only = (r.file_attributes & FILE_ATTRIBUTE_READONLY) != 0;
    access = MapGenericAccess(r.access, false);
    information = FILE_CREATED;
  }

  auto share = ShareOf(access, r.share);
  node->AddOpen(share);
  const bool synchronous =
      (r.options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) != 0;
  *handle = K().handles->Insert(std::make_shared<DiskFileObject>(node, share, synchronous), owner,
                                access);
  return Finish(io_status, STATUS_SUCCESS, information);
}

// The offset a read or write starts at: the given one, or the file object's
// current offset for a synchronous open.
NTSTATUS StartOffset(const DiskFileObject& file, const LARGE_INTEGER* byte_offset, bool write,
                     ULONGLONG& offset) {
  if (byte_offset != nullptr && byte_offset->HighPart == -1 &&
      byte_offset->LowPart == FILE_USE_FILE_POINTER_POSITION) {
    byte_offset = nullptr;
  }
  if (byte_offset == nullptr) {
    if (!file.synchronous()) return STATUS_INVALID_PARAMETER;
    offset = file.position;
    return STATUS_SUCCESS;
  }
  if (write && byte_offset->HighPart == -1 && byte_offset->LowPart == FILE_WRITE_TO_END_OF_FILE) {
    offset = file.node()->data.size();
    return STATUS_SUCCESS;
  }
  if (byte_offset->QuadPart < 0) return STATUS_INVALID_PARAMETER;
  offset = static_cast<ULONGLONG>(byte_offset->QuadPart);
  return STATUS_SUCCESS;
}

// What a read or a write checks first: the handle, the buffer, and where the
// transfer starts. On failure *result is what the routine returns.
bool BeginTransfer(HANDLE handle, PIO_STATUS_BLOCK io_status, PVOID buffer, ULONG length,
                   PLARGE_INTEGER byte_offset, bool write, std::shared_ptr<DiskFileObject>& file,
                   ULONGLONG& offset, NTSTATUS* result) {
  if (io_status == nullptr) {
    *result = STATUS_INVALID_PARAMETER;
    return false;
  }
  NTSTATUS status = FileFromHandle(handle, file);
  if (!NT_SUCCESS(status)) {
    *result = status;
    return false;
  }
  if (file->node()->is_directory()) status = STATUS_INVALID_DEVICE_REQUEST;
  else if (buffer == nullptr && length != 0) status = STATUS_INVALID_PARAMETER;
  else status = StartOffset(*file, byte_offset, write, offset);
  if (!NT_SUCCESS(status)) {
    *result = Finish(io_status, status, 0);
    return false;
  }
  return true;
}

NTSTATUS ReadFile(HANDLE handle, PIO_STATUS_BLOCK io_status, PVOID buffer, ULONG length,
                  PLARGE_INTEGER byte_offset) {
  std::shared_ptr<DiskFileObject> file;
  ULONGLONG offset = 0;
  NTSTATUS status = STATUS_SUCCESS;
  if (!BeginTransfer(handle, io_status, buffer, length, byte_offset, false, file, offset, &status)) return status;
  if (length == 0) return Finish(io_status, STATUS_SUCCESS, 0);
  const std::vector<uint8_t>& data = file->node()->data;
  if (offset >= data.size()) return Finish(io_status, STATUS_END_OF_FILE, 0);
  const ULONG count = static_cast<ULONG>(std::min<ULONGLONG>(length, data.size() - offset));
  std::memcpy(buffer, data.data() + offset, count);
  if (file->synchronous()) file->position = offset + count;
  return Finish(io_status, STATUS_SUCCESS, count);
}

NTSTATUS WriteFile(HANDLE handle, PIO_STATUS_BLOCK io_status, PVOID buffer, ULONG length,
                   PLARGE_INTEGER byte_offset) {
  std::shared_ptr<DiskFileObject> file;
  ULONGLONG offset = 0;
  NTSTATUS status = STATUS_SUCCESS;
  if (!BeginTransfer(handle, io_status, buffer, length, byte_offset, true, file, offset, &status)) return status;
  std::vector<uint8_t>& data = file->node()->data;
  if (length != 0) {
    if (data.size() < offset + length) data.resize(offset + length, 0);
    std::memcpy(data.data() + offset, buffer, length);
  }
  if (file->synchronous()) file->position = offset + length;
  return Finish(io_status, STATUS_SUCCESS, length);
}

NTSTATUS QueryInformation(HANDLE handle, PIO_STATUS_BLOCK io_status, PVOID info, ULONG length,
                          FILE_INFORMATION_CLASS info_class) {
  if (io_status == nullptr) return STATUS_INVALID_PARAMETER;
  std::shared_ptr<DiskFileObject> file;
  NTSTATUS status = FileFromHandle(handle, file);
  if (!NT_SUCCESS(status)) return status;
  const FileNode& node = *file->node();
  const auto size = static_cast<LONGLONG>(node.data.size());
  switch (info_class) {
    case FileStandardInformation: {
      if (length < sizeof(FILE_STANDARD_INFORMATION))
        return Finish(io_status, STATUS_INFO_LENGTH_MISMATCH, 0);
      FILE_STANDARD_INFORMATION out{};
      out.AllocationSize.QuadPart =
          static_cast<LONGLONG>((node.data.size() + kClusterSize - 1) / kClusterSize * kClusterSize);
      out.EndOfFile.QuadPart = size;
      out.NumberOfLinks = 1;
      out.DeletePending = node.removed();
      out.Directory = node.is_directory();
      std::memcpy(info, &out, sizeof out);
      return Finish(io_status, STATUS_SUCCESS, sizeof out);
    }
    case FilePositionInformation: {
      if (length < sizeof(FILE_POSITION_INFORMATION))
        return Finish(io_status, STATUS_INFO_LENGTH_MISMATCH, 0);
      FILE_POSITION_INFORMATION out{};
      out.CurrentByteOffset.QuadPart = static_cast<LONGLONG>(file->position);
      std::memcpy(info, &out, sizeof out);
      return Finish(io_status, STATUS_SUCCESS, sizeof out);
    }
    case FileBasicInformation: {
      if (length < sizeof(FILE_BASIC_INFORMATION))
        return Finish(io_status, STATUS_INFO_LENGTH_MISMATCH, 0);
      FILE_BASIC_INFORMATION out{};
      ULONG attributes = (node.read_only ? FILE_ATTRIBUTE_READONLY : 0) |
                         (node.is_directory() ? FILE_ATTRIBUTE_DIRECTORY : 0);
      out.FileAttributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
      std::memcpy(info, &out, sizeof out);
      return Finish(io_status, STATUS_SUCCESS, sizeof out);
    }
    default:
      return Finish(io_status, STATUS_INVALID_INFO_CLASS, 0);
  }
}

NTSTATUS SetInformation(HANDLE handle, PIO_STATUS_BLOCK io_status, PVOID info, ULONG length,
                        FILE_INFORMATION_CLASS info_class) {
  if (io_status == nullptr) return STATUS_INVALID_PARAMETER;
  std::shared_ptr<DiskFileObject> file;
  NTSTATUS status = FileFromHandle(handle, file);
  if (!NT_SUCCESS(status)) return status;
  switch (info_class) {
    case FilePositionInformation: {
      if (length < sizeof(FILE_POSITION_INFORMATION))
        return Finish(io_status, STATUS_INFO_LENGTH_MISMATCH, 0);
      FILE_POSITION_INFORMATION in;
      std::memcpy(&in, info, sizeof in);
      if (in.CurrentByteOffset.QuadPart < 0) return Finish(io_status, STATUS_INVALID_PARAMETER, 0);
      file->position = static_cast<ULONGLONG>(in.CurrentByteOffset.QuadPart);
      return Finish(io_status, STATUS_SUCCESS, 0);
    }
    case FileEndOfFileInformation: {
      if (length < sizeof(FILE_END_OF_FILE_INFORMATION))
        return Finish(io_status, STATUS_INFO_LENGTH_MISMATCH, 0);
      if (file->node()->is_directory()) return Finish(io_status, STATUS_INVALID_PARAMETER, 0);
      FILE_END_OF_FILE_INFORMATION in;
      std::memcpy(&in, info, sizeof in);
      if (in.EndOfFile.QuadPart < 0) return Finish(io_status, STATUS_INVALID_PARAMETER, 0);
      file->node()->data.resize(static_cast<size_t>(in.EndOfFile.QuadPart), 0);
      return Finish(io_status, STATUS_SUCCESS, 0);
    }
    default:
      return Finish(io_status, STATUS_INVALID_INFO_CLASS, 0);
  }
}

}  // namespace
}  // namespace sim

extern "C" {

NTSTATUS NTAPI ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                            POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                            PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                            ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions,
                            PVOID EaBuffer, ULONG EaLength) {
  const sim::DriverImage* owner = sim::ImageOf(__builtin_return_address(0));
  sim::CheckIrql("ZwCreateFile", PASSIVE_LEVEL);
  if (sim::InjectedFailure(owner)) return sim::Fail(FileHandle, IoStatusBlock);
  UNREFERENCED_PARAMETER(AllocationSize);
  UNREFERENCED_PARAMETER(EaBuffer);
  UNREFERENCED_PARAMETER(EaLength);
  sim::CreateRequest request{DesiredAccess, ObjectAttributes, FileAttributes,
                             ShareAccess,   CreateDisposition, CreateOptions};
  return sim::CreateFile(FileHandle, request, IoStatusBlock, owner);
}

NTSTATUS NTAPI ZwOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                          POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                          ULONG ShareAccess, ULONG OpenOptions) {
  const sim::DriverImage* owner = sim::ImageOf(__builtin_return_address(0));
  sim::CheckIrql("ZwOpenFile", PASSIVE_LEVEL);
  if (sim::InjectedFailure(owner)) return sim::Fail(FileHandle, IoStatusBlock);
  sim::CreateRequest request{DesiredAccess, ObjectAttributes, 0,
                             ShareAccess,   FILE_OPEN,        OpenOptions};
  return sim::CreateFile(FileHandle, request, IoStatusBlock, owner);
}

NTSTATUS NTAPI ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                          PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                          ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key) {
  const sim::DriverImage* owner = sim::ImageOf(__builtin_return_address(0));
  sim::CheckIrql("ZwReadFile", PASSIVE_LEVEL);
  if (sim::InjectedFailure(owner)) return sim::Fail(nullptr, IoStatusBlock);
  UNREFERENCED_PARAMETER(Event);
  UNREFERENCED_PARAMETER(ApcRoutine);
  UNREFERENCED_PARAMETER(ApcContext);
  UNREFERENCED_PARAMETER(Key);
  return sim::ReadFile(FileHandle, IoStatusBlock, Buffer, Length, ByteOffset);
}

NTSTATUS NTAPI ZwWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                           PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                           ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key) {
  const sim::DriverImage* owner = sim::ImageOf(__builtin_return_address(0));
  sim::CheckIrql("ZwWriteFile", PASSIVE_LEVEL);
  if (sim::InjectedFailure(owner)) return sim::Fail(nullptr, IoStatusBlock);
  UNREFERENCED_PARAMETER(Event);
  UNREFERENCED_PARAMETER(ApcRoutine);
  UNREFERENCED_PARAMETER(ApcContext);
  UNREFERENCED_PARAMETER(Key);
  return sim::WriteFile(FileHandle, IoStatusBlock, Buffer, Length, ByteOffset);
}

NTSTATUS NTAPI ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                      PVOID FileInformation, ULONG Length,
                                      FILE_INFORMATION_CLASS FileInformationClass) {
  const sim::DriverImage* owner = sim::ImageOf(__builtin_return_address(0));
  sim::CheckIrql("ZwQueryInformationFile", PASSIVE_LEVEL);
  if (sim::InjectedFailure(owner)) return sim::Fail(nullptr, IoStatusBlock);
  return sim::QueryInformation(FileHandle, IoStatusBlock, FileInformation, Length,
                               FileInformationClass);
}

NTSTATUS NTAPI ZwSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                    PVOID FileInformation, ULONG Length,
                                    FILE_INFORMATION_CLASS FileInformationClass) {
  const sim::DriverImage* owner = sim::ImageOf(__builtin_return_address(0));
  sim::CheckIrql("ZwSetInformationFile", PASSIVE_LEVEL);
  if (sim::InjectedFailure(owner)) return sim::Fail(nullptr, IoStatusBlock);
  return sim::SetInformation(FileHandle, IoStatusBlock, FileInformation, Length,
                             FileInformationClass);
}

}  // extern "C"
