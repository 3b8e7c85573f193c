// The process token: NtOpenProcessToken and NtAdjustPrivilegesToken, with the statuses Windows gives.
//
// The host process stands for a boot-time program, which runs as SYSTEM; its one token holds the privileges such a
// program may enable (host::kHeldPrivileges), all disabled except SeChangeNotifyPrivilege, as in a fresh SYSTEM
// token. Enabling a privilege the token does not hold changes nothing for that one and ends in
// STATUS_NOT_ALL_ASSIGNED, a success status, exactly as on Windows; the others in the same request still change.
#include <map>
#include <mutex>
#include <vector>

#include "host/ntdll/Host.h"
#include "host/ntdll/faults/Faults.h"
#include "host/ntdll/objects/Objects.h"

using namespace host;

namespace {

constexpr ULONG kPrivilegesHeaderSize = offsetof(TOKEN_PRIVILEGES, Privileges);
constexpr ULONG kSeChangeNotifyPrivilege = 23;

struct TokenObject : Object {
  explicit TokenObject(ACCESS_MASK grantedAccess) : Object(ObjectType::Token), access(grantedAccess) {}
  const ACCESS_MASK access;
};

struct ProcessToken {
  std::mutex mutex;
  std::map<ULONG, bool> enabled;  // by privilege LUID (low part); only held privileges have an entry
};

void ResetToken(ProcessToken& token) {
  token.enabled.clear();
  for (ULONG privilege : kHeldPrivileges) token.enabled[privilege] = privilege == kSeChangeNotifyPrivilege;
}

ProcessToken& Token() {
  static ProcessToken* token = [] {
    auto* made = new ProcessToken();  // threads may still reach it while the process exits
    ResetToken(*made);
    return made;
  }();
  return *token;
}

ACCESS_MASK MapTokenAccess(ACCESS_MASK desired) {
  ACCESS_MASK granted = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
  if (desired & GENERIC_READ) granted |= TOKEN_QUERY;
  if (desired & GENERIC_WRITE) granted |= TOKEN_ADJUST_PRIVILEGES;
  if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) granted |= TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES;
  return granted;
}

ULONG Attributes(bool enabled) { return enabled ? SE_PRIVILEGE_ENABLED : 0; }

}  // namespace

namespace host {

bool PrivilegeEnabled(ULONG privilege) {
  ProcessToken& token = Token();
  std::lock_guard<std::mutex> guard(token.mutex);
  auto found = token.enabled.find(privilege);
  return found != token.enabled.end() && found->second;
}

void ResetProcessToken() {
  ProcessToken& token = Token();
  std::lock_guard<std::mutex> guard(token.mutex);
  ResetToken(token);
}

}  // namespace host

extern "C" {

NTSTATUS NTAPI NtOpenProcessToken(HANDLE ProcessHandle, ACCESS_MASK DesiredAccess, HANDLE* TokenHandle) {
  return TraceCall("NtOpenProcessToken", [&]() -> NTSTATUS {
    if (ProcessHandle != NtCurrentProcess()) {
      return LookupHandle(ProcessHandle) ? STATUS_OBJECT_TYPE_MISMATCH : STATUS_INVALID_HANDLE;
    }
    if (TokenHandle == nullptr) return STATUS_ACCESS_VIOLATION;
    *TokenHandle = InsertHandle(std::make_shared<TokenObject>(MapTokenAccess(DesiredAccess)));
    return STATUS_SUCCESS;
  });
}

NTSTATUS NTAPI NtAdjustPrivilegesToken(HANDLE TokenHandle, BOOLEAN DisableAllPrivileges, TOKEN_PRIVILEGES* NewState,
                                       ULONG BufferLength, TOKEN_PRIVILEGES* PreviousState, ULONG* ReturnLength) {
  return TraceCall("NtAdjustPrivilegesToken", [&]() -> NTSTATUS {
    NTSTATUS status;
    auto handle = LookupHandleAs<TokenObject>(TokenHandle, ObjectType::Token, &status);
    if (!handle) return status;
    const ACCESS_MASK needed = TOKEN_ADJUST_PRIVILEGES | (PreviousState != nullptr ? TOKEN_QUERY : 0);
    if ((handle->access & needed) != needed) return STATUS_ACCESS_DENIED;
    if (!DisableAllPrivileges && NewState == nullptr) return STATUS_INVALID_PARAMETER;
    if (PreviousState != nullptr && ReturnLength == nullptr) return STATUS_ACCESS_VIOLATION;

    ProcessToken& token = Token();
    std::lock_guard<std::mutex> guard(token.mutex);
    // The token as this request leaves it, worked out first: a previous-state buffer that is too small changes
    // nothing. Entries apply in order, so a privilege named twice ends as its last entry says.
    std::map<ULONG, bool> after = token.enabled;
    bool allHeld = true;
    if (DisableAllPrivileges) {
      for (auto& entry : after) entry.second = false;
    } else {
      for (ULONG i = 0; i < NewState->PrivilegeCount; ++i) {
        const LUID_AND_ATTRIBUTES& entry = NewState->Privileges[i];
        auto held = entry.Luid.HighPart == 0 ? after.find(entry.Luid.LowPart) : after.end();
        if (held == after.end()) {
          allHeld = false;
        } else {
          held->second = (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0;
        }
      }
    }
    std::vector<std::pair<ULONG, bool>> changed;  // privilege and its state before
    for (const auto& [privilege, enabled] : token.enabled) {
      if (after[privilege] != enabled) changed.emplace_back(privilege, enabled);
    }
    if (PreviousState != nullptr) {
      const auto needed = static_cast<ULONG>(kPrivilegesHeaderSize + changed.size() * sizeof(LUID_AND_ATTRIBUTES));
      *ReturnLength = needed;
      if (BufferLength < needed) return STATUS_BUFFER_TOO_SMALL;
      PreviousState->PrivilegeCount = static_cast<ULONG>(changed.size());
      for (size_t i = 0; i < changed.size(); ++i) {
        PreviousState->Privileges[i] = LUID_AND_ATTRIBUTES{{changed[i].first, 0}, Attributes(changed[i].second)};
      }
    }
    token.enabled = after;
    return allHeld ? STATUS_SUCCESS : STATUS_NOT_ALL_ASSIGNED;
  });
}

}  // extern "C"
