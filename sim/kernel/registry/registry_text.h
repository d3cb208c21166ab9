// The registry as readable text (format: docs/registry-text-format.md).
// DumpRegistry writes every key below "\Registry" and every value; loading
// that text into a fresh Registry and dumping it again gives the same text.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace sim {

class Registry;

// A malformed line of registry text; what() starts with "line N: ".
class RegistryTextError : public std::runtime_error {
 public:
  RegistryTextError(int line, const std::string& message);
  int line() const { return line_; }

 private:
  int line_;
};

std::string DumpRegistry(const Registry& registry);

// Adds the keys and values of the text to the registry (values of the same
// name are replaced). Throws RegistryTextError; on error the keys and values
// of the lines before the bad one have been applied.
void LoadRegistryText(Registry& registry, std::string_view text);

}  // namespace sim
