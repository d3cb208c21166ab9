// Base of every kernel object that a handle can name (registry keys, files,
// threads). Objects that drivers embed in their own memory (events, timers,
// device objects) are plain records and do not derive from this.
#pragma once

#include <string>

namespace sim {

class KernelObject {
 public:
  virtual ~KernelObject() = default;
  // Short type name for reports, such as "Key", "File", "Thread".
  virtual std::string TypeName() const = 0;
  // What the object is, for reports: a key path, a file name, a thread name.
  virtual std::string Describe() const = 0;
};

}  // namespace sim
