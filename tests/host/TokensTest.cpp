// NtOpenProcessToken and NtAdjustPrivilegesToken on the host's process token, pinned to the statuses Windows gives.
#include <gtest/gtest.h>

#include <vector>

#include "host/Host.h"

namespace {

constexpr ULONG kSeCreateTokenPrivilege = 2;
constexpr ULONG kSeChangeNotifyPrivilege = 23;

// A TOKEN_PRIVILEGES of any length.
struct Privileges {
  explicit Privileges(const std::vector<LUID_AND_ATTRIBUTES>& entries)
      : storage(1 + (entries.empty() ? 1 : entries.size()) * sizeof(LUID_AND_ATTRIBUTES) / sizeof(ULONG)) {
    get()->PrivilegeCount = static_cast<ULONG>(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) get()->Privileges[i] = entries[i];
  }
  TOKEN_PRIVILEGES* get() { return reinterpret_cast<TOKEN_PRIVILEGES*>(storage.data()); }
  std::vector<ULONG> storage;  // the count, then three ULONGs per entry
};

LUID_AND_ATTRIBUTES Enable(ULONG privilege, LONG high = 0) { return {{privilege, high}, SE_PRIVILEGE_ENABLED}; }
LUID_AND_ATTRIBUTES Disable(ULONG privilege) { return {{privilege, 0}, 0}; }

class ProcessToken : public testing::Test {
 protected:
  void SetUp() override {
    host::ResetProcessToken();
    ASSERT_EQ(STATUS_SUCCESS, NtOpenProcessToken(NtCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token_));
  }
  void TearDown() override {
    NtClose(token_);
    host::ResetProcessToken();
  }
  NTSTATUS Adjust(const std::vector<LUID_AND_ATTRIBUTES>& entries) {
    Privileges state(entries);
    return NtAdjustPrivilegesToken(token_, false, state.get(), 0, nullptr, nullptr);
  }
  HANDLE token_ = nullptr;
};

TEST_F(ProcessToken, EnablingSeRestorePrivilegeTheWayTheSystemDoesSucceeds) {
  HANDLE token = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, NtOpenProcessToken(NtCurrentProcess(), 0x38, &token));
  TOKEN_PRIVILEGES privileges{1, {{{SE_RESTORE_PRIVILEGE, 0}, SE_PRIVILEGE_ENABLED}}};
  ASSERT_EQ(16u, sizeof privileges);
  EXPECT_EQ(STATUS_SUCCESS, NtAdjustPrivilegesToken(token, false, &privileges, sizeof privileges, nullptr, nullptr));
  EXPECT_TRUE(host::PrivilegeEnabled(SE_RESTORE_PRIVILEGE));
  EXPECT_EQ(STATUS_SUCCESS, NtClose(token));
}

struct AdjustCase {
  const char* what;
  std::vector<LUID_AND_ATTRIBUTES> entries;
  NTSTATUS status;
  bool restoreEnabledAfter;
};

void PrintTo(const AdjustCase& adjust, std::ostream* out) { *out << adjust.what; }

class ProcessTokenAdjust : public ProcessToken, public testing::WithParamInterface<AdjustCase> {};

// A privilege the token does not hold is not an error: the call succeeds with STATUS_NOT_ALL_ASSIGNED and the held
// ones in the same request still change.
TEST_P(ProcessTokenAdjust, ChangesTheHeldPrivilegesAndReportsTheOthers) {
  EXPECT_EQ(GetParam().status, Adjust(GetParam().entries));
  EXPECT_EQ(GetParam().restoreEnabledAfter, host::PrivilegeEnabled(SE_RESTORE_PRIVILEGE));
}

INSTANTIATE_TEST_SUITE_P(
    ProcessTokenRequests, ProcessTokenAdjust,
    testing::Values(AdjustCase{"held", {Enable(SE_RESTORE_PRIVILEGE)}, STATUS_SUCCESS, true},
                    AdjustCase{"not held", {Enable(kSeCreateTokenPrivilege)}, STATUS_NOT_ALL_ASSIGNED, false},
                    AdjustCase{"high part set", {Enable(SE_RESTORE_PRIVILEGE, 1)}, STATUS_NOT_ALL_ASSIGNED, false},
                    AdjustCase{"held and not held",
                               {Enable(kSeCreateTokenPrivilege), Enable(SE_RESTORE_PRIVILEGE)},
                               STATUS_NOT_ALL_ASSIGNED,
                               true},
                    AdjustCase{"enabled then disabled",
                               {Enable(SE_RESTORE_PRIVILEGE), Disable(SE_RESTORE_PRIVILEGE)},
                               STATUS_SUCCESS,
                               false}));

TEST_F(ProcessToken, PreviousStateListsWhatChangedAsItWas) {
  Privileges state({Enable(SE_RESTORE_PRIVILEGE), Enable(kSeChangeNotifyPrivilege)});
  Privileges previous({Disable(0), Disable(0)});
  ULONG length = 0;
  ASSERT_EQ(STATUS_SUCCESS, NtAdjustPrivilegesToken(token_, false, state.get(), 28, previous.get(), &length));
  EXPECT_EQ(16u, length) << "only SeRestorePrivilege changed; SeChangeNotifyPrivilege was already enabled";
  ASSERT_EQ(1u, previous.get()->PrivilegeCount);
  EXPECT_EQ(SE_RESTORE_PRIVILEGE, previous.get()->Privileges[0].Luid.LowPart);
  EXPECT_EQ(0u, previous.get()->Privileges[0].Attributes);
}

TEST_F(ProcessToken, PreviousStateTooSmallChangesNothing) {
  Privileges state({Enable(SE_RESTORE_PRIVILEGE)});
  Privileges previous({});
  ULONG length = 0;
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, NtAdjustPrivilegesToken(token_, false, state.get(), 4, previous.get(), &length));
  EXPECT_EQ(16u, length);
  EXPECT_FALSE(host::PrivilegeEnabled(SE_RESTORE_PRIVILEGE));
}

TEST_F(ProcessToken, DisableAllIgnoresTheNewState) {
  ASSERT_EQ(STATUS_SUCCESS, Adjust({Enable(SE_RESTORE_PRIVILEGE)}));
  EXPECT_EQ(STATUS_SUCCESS, NtAdjustPrivilegesToken(token_, true, nullptr, 0, nullptr, nullptr));
  EXPECT_FALSE(host::PrivilegeEnabled(SE_RESTORE_PRIVILEGE));
  EXPECT_FALSE(host::PrivilegeEnabled(kSeChangeNotifyPrivilege));
}

TEST_F(ProcessToken, RefusesWhatWindowsRefuses) {
  HANDLE queryOnly = nullptr, token = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, NtOpenProcessToken(NtCurrentProcess(), TOKEN_QUERY, &queryOnly));
  Privileges state({Enable(SE_RESTORE_PRIVILEGE)});
  EXPECT_EQ(STATUS_ACCESS_DENIED, NtAdjustPrivilegesToken(queryOnly, false, state.get(), 0, nullptr, nullptr));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, NtAdjustPrivilegesToken(token_, false, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(STATUS_OBJECT_TYPE_MISMATCH,
            NtAdjustPrivilegesToken(NtCurrentThread(), true, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(STATUS_OBJECT_TYPE_MISMATCH, NtOpenProcessToken(NtCurrentThread(), TOKEN_QUERY, &token));
  EXPECT_EQ(STATUS_INVALID_HANDLE, NtOpenProcessToken(reinterpret_cast<HANDLE>(0x7FFC), TOKEN_QUERY, &token));
  EXPECT_FALSE(host::PrivilegeEnabled(SE_RESTORE_PRIVILEGE));
  NtClose(queryOnly);
}

}  // namespace
