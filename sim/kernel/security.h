// Security as far as opening devices and privileged requests need it: the
// caller's token (its SIDs and privileges), a device's security descriptor
// read from SDDL, and the access check of an open against it.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "wdm.h"

namespace sim {

// SIDs are kept in their SDDL form: an alias ("SY", "BA", "BU", "WD", "AU")
// or "S-1-...".
struct Token {
  std::string account;
  std::vector<std::string> sids;    // the user and its groups
  std::map<ULONG, bool> privileges;  // held privileges: enabled or not
  bool HasSid(std::string_view sid) const;
  bool PrivilegeEnabled(ULONG privilege) const;
};

// The accounts an application can run as: the local system; an elevated
// administrator, whose administrative privileges are held but disabled
// until it enables them; an ordinary user.
enum class Account { System, Administrator, User };
std::shared_ptr<const Token> TokenFor(Account account);

struct AccessControlEntry {
  bool allow = true;
  ACCESS_MASK mask = 0;  // in generic rights
  std::string sid;
};

struct SecurityDescriptor {
  bool dacl_protected = false;
  std::vector<AccessControlEntry> dacl;
};

// The descriptor of an SDDL string with a DACL ("D:P(A;;GA;;;SY)..."); no
// value for anything the model does not read.
std::optional<SecurityDescriptor> ParseSddl(std::string_view sddl);

// Whether the token gets every generic right of Desired: entries in order,
// a deny of a right not yet granted refuses it.
bool AccessAllowed(const SecurityDescriptor& descriptor, const Token& token, ACCESS_MASK desired);

// The token of the current thread: the application's while it calls into
// the kernel, the system's for kernel threads.
const Token& CurrentToken();

// Gives the current thread a token for the guard's life.
class TokenScope {
 public:
  explicit TokenScope(std::shared_ptr<const Token> token);
  ~TokenScope();
  TokenScope(const TokenScope&) = delete;
  TokenScope& operator=(const TokenScope&) = delete;

 private:
  std::shared_ptr<const Token> saved_;
};

}  // namespace sim
