// The interrupt controller: level-triggered lines driven by the hardware
// models, and the interrupt objects drivers connect to them. A line that is
// asserted, unmasked and connected is serviced on some virtual processor at
// the line's IRQL: its service routines run in connection order, each with
// its interrupt's spin lock held, until one claims the interrupt. A line
// that stays asserted while nobody claims it is an interrupt storm.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "nt/basetypes.h"
#include "nt/ke.h"

namespace sim {

class DriverImage;
class InterruptController;

}  // namespace sim

// The interrupt object drivers hold (opaque to them).
struct _KINTERRUPT {
  ULONG line = 0;
  ULONG vector = 0;
  KIRQL irql = 0;
  KIRQL synchronize_irql = 0;
  PKSERVICE_ROUTINE routine = nullptr;
  PVOID context = nullptr;
  PKSPIN_LOCK lock = nullptr;  // the caller's lock, or own_lock
  KSPIN_LOCK own_lock = 0;
  bool shared = false;
  const sim::DriverImage* owner = nullptr;
};

namespace sim {

class InterruptController {
 public:
  // Unclaimed services of an asserted line before it counts as a storm.
  static constexpr unsigned kStormThreshold = 64;

  // Hardware side: a device drives its interrupt line (the bus's line number).
  void SetLine(ULONG line, bool asserted);
  bool Asserted(ULONG line) const;
  // Services a line has had, and how many of them a routine claimed.
  unsigned serviced(ULONG line) const;
  unsigned claimed(ULONG line) const;

  // Connections, as IoConnectInterrupt makes them.
  NTSTATUS Connect(_KINTERRUPT** object, PKSERVICE_ROUTINE routine, PVOID context, PKSPIN_LOCK lock, ULONG vector,
                   KIRQL irql, KIRQL synchronize_irql, KINTERRUPT_MODE mode, bool shared, const DriverImage* caller);
  bool Disconnect(_KINTERRUPT* object);
  bool IsConnected(const _KINTERRUPT* object) const;
  // Disconnects and reports what an image left connected.
  size_t DisconnectAllOf(const DriverImage* image);

  // Scheduler side: lines waiting for a processor, and their service.
  struct PendingLine {
    ULONG line;
    KIRQL irql;
  };
  std::vector<PendingLine> LinesToService() const;
  void BeginService(ULONG line);
  // Runs in a processor's interrupt context, at the line's IRQL.
  void Service(ULONG line);

 private:
  struct Line {
    bool asserted = false;
    bool in_service = false;
    bool masked = false;  // after a storm, so that the machine can go on
    unsigned unclaimed_in_a_row = 0;
    unsigned serviced = 0;
    unsigned claimed = 0;
    std::vector<std::unique_ptr<_KINTERRUPT>> connected;  // in connection order
  };
  std::map<ULONG, Line> lines_;
};

}  // namespace sim
