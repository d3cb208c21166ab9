#include "sim/kernel/security.h"

#include <algorithm>

#include "sim/kernel/irql_rules.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/sim_thread.h"

namespace sim {

namespace {

constexpr ACCESS_MASK kAllGeneric = GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL;

std::optional<ACCESS_MASK> ParseRights(std::string_view rights) {
  ACCESS_MASK mask = 0;
  if (rights.starts_with("0x")) {
    std::string hex(rights.substr(2));
    if (hex.empty() || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return std::nullopt;
    mask = static_cast<ACCESS_MASK>(std::stoul(hex, nullptr, 16));
    // Specific file rights count as the generic rights they make up.
    ACCESS_MASK generic = mask & kAllGeneric;
    if ((mask & 0x1F01FF) == 0x1F01FF) generic |= kAllGeneric;
    return generic;
  }
  if (rights.empty() || rights.size() % 2) return std::nullopt;
  for (size_t i = 0; i < rights.size(); i += 2) {
    std::string_view right = rights.substr(i, 2);
    if (right == "GA" || right == "FA") mask |= kAllGeneric;
    else if (right == "GR" || right == "FR") mask |= GENERIC_READ;
    else if (right == "GW" || right == "FW") mask |= GENERIC_WRITE;
    else if (right == "GX" || right == "FX") mask |= GENERIC_EXECUTE;
    else return std::nullopt;
  }
  return mask;
}

bool KnownSid(std::string_view sid) {
  static const char* const kAliases[] = {"SY", "BA", "BU", "WD", "AU", "LS", "NS", "BG", "IU", "SU"};
  for (const char* alias : kAliases)
    if (sid == alias) return true;
  return sid.starts_with("S-1-") && sid.size() > 4;
}

// "A;;GA;;;SY": type, flags, rights, object, inherited object, SID.
std::optional<AccessControlEntry> ParseAce(std::string_view text) {
  std::vector<std::string_view> fields;
  size_t start = 0;
  for (size_t semicolon; (semicolon = text.find(';', start)) != std::string_view::npos; start = semicolon + 1)
    fields.push_back(text.substr(start, semicolon - start));
  fields.push_back(text.substr(start));
  if (fields.size() != 6 || !fields[3].empty() || !fields[4].empty()) return std::nullopt;
  AccessControlEntry entry;
  if (fields[0] == "A") entry.allow = true;
  else if (fields[0] == "D") entry.allow = false;
  else return std::nullopt;
  auto mask = ParseRights(fields[2]);
  if (!mask || !KnownSid(fields[5])) return std::nullopt;
  entry.mask = *mask;
  entry.sid = std::string(fields[5]);
  return entry;
}

}  // namespace

bool Token::HasSid(std::string_view sid) const { return std::find(sids.begin(), sids.end(), sid) != sids.end(); }

bool Token::PrivilegeEnabled(ULONG privilege) const {
  auto it = privileges.find(privilege);
  return it != privileges.end() && it->second;
}

std::shared_ptr<const Token> TokenFor(Account account) {
  auto token = std::make_shared<Token>();
  switch (account) {
    case Account::System:
      token->account = "SYSTEM";
      token->sids = {"SY", "BA", "WD", "AU"};
      for (ULONG privilege : {SE_CREATE_TOKEN_PRIVILEGE, SE_TCB_PRIVILEGE, SE_SECURITY_PRIVILEGE,
                              SE_LOAD_DRIVER_PRIVILEGE, SE_BACKUP_PRIVILEGE, SE_SHUTDOWN_PRIVILEGE, SE_DEBUG_PRIVILEGE,
                              SE_CHANGE_NOTIFY_PRIVILEGE, SE_IMPERSONATE_PRIVILEGE, SE_CREATE_GLOBAL_PRIVILEGE})
        token->privileges[privilege] = true;
      break;
    case Account::Administrator:
      token->account = "Administrator";
      token->sids = {"S-1-5-21-1-2-3-500", "BA", "BU", "WD", "AU", "IU"};
      for (ULONG privilege : {SE_SECURITY_PRIVILEGE, SE_LOAD_DRIVER_PRIVILEGE, SE_BACKUP_PRIVILEGE,
                              SE_SHUTDOWN_PRIVILEGE, SE_DEBUG_PRIVILEGE})
        token->privileges[privilege] = false;
      for (ULONG privilege : {SE_CHANGE_NOTIFY_PRIVILEGE, SE_IMPERSONATE_PRIVILEGE, SE_CREATE_GLOBAL_PRIVILEGE})
        token->privileges[privilege] = true;
      break;
    case Account::User:
      token->account = "User";
      token->sids = {"S-1-5-21-1-2-3-1001", "BU", "WD", "AU", "IU"};
      token->privileges[SE_SHUTDOWN_PRIVILEGE] = false;
      token->privileges[SE_CHANGE_NOTIFY_PRIVILEGE] = true;
      break;
  }
  return token;
}

std::optional<SecurityDescriptor> ParseSddl(std::string_view sddl) {
  if (!sddl.starts_with("D:")) return std::nullopt;
  sddl.remove_prefix(2);
  SecurityDescriptor descriptor;
  while (!sddl.empty() && sddl.front() != '(') {
    if (sddl.starts_with("P")) {
      descriptor.dacl_protected = true;
      sddl.remove_prefix(1);
    } else if (sddl.starts_with("AI") || sddl.starts_with("AR")) {
      sddl.remove_prefix(2);
    } else {
      return std::nullopt;
    }
  }
  while (!sddl.empty()) {
    if (sddl.front() != '(') return std::nullopt;
    size_t close = sddl.find(')');
    if (close == std::string_view::npos) return std::nullopt;
    auto entry = ParseAce(sddl.substr(1, close - 1));
    if (!entry) return std::nullopt;
    descriptor.dacl.push_back(*entry);
    sddl.remove_prefix(close + 1);
  }
  return descriptor;
}

bool AccessAllowed(const SecurityDescriptor& descriptor, const Token& token, ACCESS_MASK desired) {
  ACCESS_MASK remaining = desired & kAllGeneric;
  for (const AccessControlEntry& entry : descriptor.dacl) {
    if (!remaining) break;
    if (!token.HasSid(entry.sid)) continue;
    const ACCESS_MASK rights = entry.mask & remaining;
    if (!rights) continue;
    if (!entry.allow) return false;
    remaining &= ~rights;
  }
  return remaining == 0;
}

const Token& CurrentToken() {
  static const std::shared_ptr<const Token> system = TokenFor(Account::System);
  const SimThread* thread = K().scheduler->Current();
  return thread && thread->token ? *thread->token : *system;
}

TokenScope::TokenScope(std::shared_ptr<const Token> token) {
  SimThread* thread = K().scheduler->Current();
  saved_ = thread->token;
  thread->token = std::move(token);
}

TokenScope::~TokenScope() { K().scheduler->Current()->token = std::move(saved_); }

}  // namespace sim

BOOLEAN SeSinglePrivilegeCheck(LUID PrivilegeValue, KPROCESSOR_MODE PreviousMode) {
  if (!sim::CheckIrql("SeSinglePrivilegeCheck", PASSIVE_LEVEL)) return FALSE;
  if (PreviousMode == KernelMode) return TRUE;
  if (PrivilegeValue.HighPart != 0) return FALSE;
  return sim::CurrentToken().PrivilegeEnabled(PrivilegeValue.LowPart) ? TRUE : FALSE;
}
