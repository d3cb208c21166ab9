// The I/O manager: driver objects, device objects and their stacks, IRPs
// and their completion, file objects for applications.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "nt/basetypes.h"
#include "sim/kernel/utf16_text.h"
#include "wdm.h"

namespace sim {

class DriverImage;
class SimThread;
struct DeviceNode;
struct SecurityDescriptor;

struct DriverRecord {
  DRIVER_OBJECT object{};
  DRIVER_EXTENSION extension{};
  DriverImage* image = nullptr;  // null for a driver built into the kernel
  std::string name;              // service name
  std::u16string driver_name;    // "\Driver\<name>"
  std::u16string service_key;    // "<name>"
  std::u16string registry_path;  // "\Registry\Machine\SYSTEM\CurrentControlSet\Services\<name>"
};

struct DeviceRecord {
  DEVICE_OBJECT* device = nullptr;
  DriverRecord* driver = nullptr;
  std::u16string name;  // empty for an unnamed device
  bool deleted = false;
  LONG references = 0;  // object references (ObReferenceObject)
  bool wmi_registered = false;
  // Who may open it; null: everyone.
  std::shared_ptr<const SecurityDescriptor> security;
};

struct IrpRecord {
  const DriverImage* owner = nullptr;
  bool threaded = false;     // built by the I/O manager for a waiting caller
  // A threaded IRP's thread: its completion step runs there as a special
  // kernel APC. Null once the thread has let it go at its exit.
  SimThread* thread = nullptr;
  // The file object the request holds a reference to (application I/O).
  FILE_OBJECT* file = nullptr;
  bool in_completion = false;
  bool halted = false;       // a completion routine took it back (STATUS_MORE_PROCESSING_REQUIRED)
  bool completed = false;    // completed back to its originator
  // Room in the caller's buffer that completion copies a buffered
  // request's data back into.
  ULONG user_buffer_length = 0;
  // Stack locations whose dispatch routine returned STATUS_PENDING while the
  // IRP was still in progress: each must be marked pending by the time
  // completion passes it (in the dispatch routine or its completion routine).
  std::vector<bool> returned_pending;
};

// Parameters of a request the kernel itself builds and waits for.
struct IoRequest {
  UCHAR major = 0;
  UCHAR minor = 0;
  NTSTATUS initial_status = STATUS_NOT_SUPPORTED;
  ULONG_PTR initial_information = 0;
  PFILE_OBJECT file = nullptr;
  std::function<void(IO_STACK_LOCATION*)> fill;  // sets the parameters
};


class IoManager {
 public:
  IoManager();
  ~IoManager();

  // Loads <service>.so and runs its DriverEntry; null (with the status) on failure.
  DriverRecord* LoadDriver(const std::string& service, NTSTATUS* status, std::string* error);
  // A driver whose code lives in the kernel model (a stand-in bus driver).
  DriverRecord* CreateBuiltinDriver(const std::string& name);
  // Calls DriverUnload, checks what the image left behind and unloads it.
  void UnloadDriver(DriverRecord* driver);
  DriverRecord* FindDriver(const std::string& service) const;
  DriverRecord* DriverOf(const DRIVER_OBJECT* object) const;
  const std::vector<std::unique_ptr<DriverRecord>>& drivers() const { return drivers_; }

  DeviceRecord* FindDevice(const DEVICE_OBJECT* device) const;
  bool IsLiveDevice(const DEVICE_OBJECT* device) const;
  const std::map<const DEVICE_OBJECT*, std::unique_ptr<DeviceRecord>>& devices() const { return devices_; }
  NTSTATUS CreateDevice(DriverRecord* driver, ULONG extension_size, const UNICODE_STRING* name, DEVICE_TYPE type,
                        ULONG characteristics, BOOLEAN exclusive, DEVICE_OBJECT** device,
                        const DriverImage* caller);
  void DeleteDevice(DEVICE_OBJECT* device, const DriverImage* caller);
  void DereferenceDevice(DeviceRecord* record);
  std::string DescribeDevice(const DEVICE_OBJECT* device) const;

  // IRPs.
  IRP* AllocateIrp(CCHAR stack_size, const DriverImage* owner);
  void FreeIrp(IRP* irp, const DriverImage* caller);
  IrpRecord* FindIrp(const IRP* irp);
  NTSTATUS CallDriver(DEVICE_OBJECT* device, IRP* irp, const DriverImage* caller);
  void CompleteRequest(IRP* irp, const DriverImage* caller);
  // Builds a request for the top of the device's stack, sends it and waits.
  IO_STATUS_BLOCK SendAndWait(DEVICE_OBJECT* device, const IoRequest& request);
  size_t irps_in_use() const { return irps_.size(); }

  // Cancellation: the cancel spin lock and IoCancelIrp.
  void AcquireCancelLock(KIRQL* irql, const DriverImage* caller);
  void ReleaseCancelLock(KIRQL irql, const DriverImage* caller);
  BOOLEAN CancelIrp(IRP* irp, const DriverImage* caller);
  // Cancels the pending requests the current thread started (on one file
  // object, or on any when file is null), as CancelIo does.
  void CancelThreadIrps(FILE_OBJECT* file);
  // At the exit of the current thread: cancels its pending requests and
  // waits for them to complete, as Windows does at thread rundown.
  void RundownThread();

  // File objects opened by applications. A file object lives while its
  // handle is open or a request holds it; the last reference sends
  // IRP_MJ_CLOSE and frees it.
  FILE_OBJECT* CreateFileObject(DEVICE_OBJECT* device);
  void ReferenceFile(FILE_OBJECT* file);
  void DereferenceFile(FILE_OBJECT* file);
  // Undoes CreateFileObject for an open that failed (no close is sent).
  void DiscardFileObject(FILE_OBJECT* file);
  bool IsFileObject(const void* object) const { return files_.count(const_cast<void*>(object)) != 0; }
  // File objects open on any device of the node's stack.
  size_t OpenFilesOn(const DeviceNode* node) const;
  // Marks an application request: it holds a reference to its file object.
  void TrackFileRequest(IRP* irp, FILE_OBJECT* file);

  // The name of the driver that owns the device ("?" when unknown).
  std::string DriverNameOf(const DEVICE_OBJECT* device) const;
  // "IRP 0x... (IRP_MJ_READ)" for reports.
  std::string DescribeIrp(const IRP* irp) const;

  // Reports devices, IRPs and file objects still alive at machine shutdown.
  void CheckShutdown();

  // Called for every IoCallDriver before the target's dispatch routine
  // runs, with the stack location the target will see; for tools that
  // follow a driver's requests (the report's probe times). Empty: none.
  using CallObserver = std::function<void(DEVICE_OBJECT* target, IRP* irp, const IO_STACK_LOCATION* stack,
                                          const DriverImage* caller)>;
  void ObserveCalls(CallObserver observer) { call_observer_ = std::move(observer); }

 private:
  CallObserver call_observer_;
  // A dispatch routine in progress: what completion found at its stack
  // location, for the checks when the routine returns.
  struct DispatchFrame {
    const IRP* irp = nullptr;
    const DriverRecord* driver = nullptr;  // whose dispatch routine runs
    size_t location = 0;
    KIRQL irql = PASSIVE_LEVEL;     // at entry
    bool completed = false;         // completion has passed the location
    bool marked = false;            // ... and found it marked pending
    NTSTATUS status = 0;            // ... with this status
  };
  struct FileRecord {
    LONG references = 1;  // the handle's
    bool close_deferred = false;
  };

  void FinishThreadedIrp(IRP* irp);
  void FinishThreadedIrpNow(IRP* irp);
  void CheckPendingMarked(IRP* irp, IO_STACK_LOCATION* stack);
  void NoteCompletionAt(IRP* irp, IO_STACK_LOCATION* stack);
  void CheckDispatchReturn(const DispatchFrame& frame, DEVICE_OBJECT* device, const DriverRecord* owner,
                           NTSTATUS status);
  void ReleaseFile(FILE_OBJECT* file);
  void FreeDeviceMemory(DeviceRecord* record);

  std::vector<std::unique_ptr<DriverRecord>> drivers_;
  std::map<const DEVICE_OBJECT*, std::unique_ptr<DeviceRecord>> devices_;
  std::map<const IRP*, IrpRecord> irps_;
  std::map<void*, FileRecord> files_;
  std::vector<DispatchFrame*> dispatch_frames_;
  KSPIN_LOCK cancel_lock_ = 0;  // the system's cancel spin lock
  unsigned autogenerated_names_ = 0;
};

}  // namespace sim
