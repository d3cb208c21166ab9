#include "tools/zarkcfg/windows_card.h"

#include <windows.h>

namespace zarkcfg {

namespace {

constexpr uint32_t kStatusPrivilegeNotHeld = 0xC0000061;
constexpr uint32_t kStatusAccessDenied = 0xC0000022;
constexpr uint32_t kStatusUnsuccessful = 0xC0000001;

// Enables SeLoadDriverPrivilege in the process token when the user holds it.
void EnableLoadDriverPrivilege() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return;
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (LookupPrivilegeValueW(nullptr, L"SeLoadDriverPrivilege", &privileges.Privileges[0].Luid))
    AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
  CloseHandle(token);
}

}  // namespace

WindowsCard::WindowsCard() {
  EnableLoadDriverPrivilege();
  handle_ = CreateFileW(L"\\\\.\\ZARKCARD", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle_ != INVALID_HANDLE_VALUE) return;
  const DWORD error = GetLastError();
  if (error == ERROR_ACCESS_DENIED) open_error_ = "the card's control device opens for administrators only";
  else if (error == ERROR_FILE_NOT_FOUND) open_error_ = "no card is installed (no \\\\.\\ZARKCARD)";
  else open_error_ = "cannot open \\\\.\\ZARKCARD (error " + std::to_string(error) + ")";
}

WindowsCard::~WindowsCard() {
  if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
}

Reply WindowsCard::Control(uint32_t code, const std::vector<uint8_t>& input, uint32_t output_length) {
  Reply reply;
  reply.data.assign(output_length, 0);
  DWORD returned = 0;
  std::vector<uint8_t> in(input);
  if (DeviceIoControl(handle_, code, in.data(), static_cast<DWORD>(in.size()), reply.data.data(), output_length,
                      &returned, nullptr)) {
    reply.information = returned;
    return reply;
  }
  const DWORD error = GetLastError();
  reply.status = error == ERROR_PRIVILEGE_NOT_HELD ? kStatusPrivilegeNotHeld
                 : error == ERROR_ACCESS_DENIED    ? kStatusAccessDenied
                                                   : kStatusUnsuccessful;
  return reply;
}

}  // namespace zarkcfg
