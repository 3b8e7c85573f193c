#include "host/ntdll/faults/Faults.h"

#include "host/ntdll/Host.h"
#include "host/ntdll/faults/CallTrace.h"
#include "host/ntfs/DeviceObserver.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

namespace host {
namespace {

// Calls are counted without a lock, one slot per name as the calling code spells it (a name written in two places
// may take two slots; the counts add up by name). Names come from the code, so a few hundred slots always do.
struct CallSlot {
  std::atomic<const char*> name{nullptr};
  std::atomic<uint64_t> count{0};
};
constexpr size_t kCallSlots = 1024;

struct FaultState {
  std::mutex mutex;
  std::vector<FaultRule> rules;
  std::atomic<bool> anyRules{false};  // so that calls need no lock while there are none
  CallSlot slots[kCallSlots];
};

FaultState& State() {
  static FaultState* state = new FaultState();  // outlives every thread that may still call in at exit
  return *state;
}

void CountCall(const char* call) {
  CallSlot* slots = State().slots;
  for (size_t probe = 0, at = std::hash<const void*>()(call) % kCallSlots; probe < kCallSlots;
       ++probe, at = (at + 1) % kCallSlots) {
    const char* name = slots[at].name.load(std::memory_order_acquire);
    if (name == nullptr && slots[at].name.compare_exchange_strong(name, call)) name = call;
    if (name == call) {
      slots[at].count.fetch_add(1, std::memory_order_relaxed);
      return;
    }
  }
}


bool ParseNumber(const std::string& text, uint64_t* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0') return false;
  *value = parsed;
  return true;
}

}  // namespace

bool ParseFaultRule(const std::string& text, FaultRule* rule, std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  FaultRule parsed;
  size_t equals = text.find('=');
  if (equals == std::string::npos || equals == 0) {
    *error = "fault '" + text + "': expected CALL[#N]=STATUS, CALL[#N]=delay:MS or CALL[#N]=corrupt";
    return false;
  }
  std::string target = text.substr(0, equals);
  std::string action = text.substr(equals + 1);

  size_t hash = target.find('#');
  parsed.call = target.substr(0, hash);
  parsed.count = 0;
  if (hash != std::string::npos) {
    std::string range = target.substr(hash + 1);
    parsed.count = 1;
    if (!range.empty() && range.back() == '+') {
      parsed.count = 0;
      range.pop_back();
    }
    size_t dash = range.find('-');
    uint64_t last = 0;
    if (dash != std::string::npos) {
      if (!ParseNumber(range.substr(dash + 1), &last)) range.clear();
      range = range.substr(0, dash);
    }
    if (!ParseNumber(range, &parsed.first) || parsed.first == 0 || (dash != std::string::npos && last < parsed.first)) {
      *error = "fault '" + text + "': the call number must be 1 or more (#N, #N+ or #N-M)";
      return false;
    }
    if (dash != std::string::npos) parsed.count = last - parsed.first + 1;
  }
  if (parsed.call.empty()) {
    *error = "fault '" + text + "': no call named";
    return false;
  }

  uint64_t value = 0;
  if (action == "corrupt") {
    parsed.fails = false;
    parsed.corrupts = true;
  } else if (action.rfind("delay:", 0) == 0) {
    parsed.fails = false;
    if (!ParseNumber(action.substr(6), &value) || value > 3600000) {
      *error = "fault '" + text + "': delay must be milliseconds (at most an hour)";
      return false;
    }
    parsed.delayMs = static_cast<uint32_t>(value);
  } else {
    if (!ParseNumber(action, &value) || value > 0xFFFFFFFFull) {
      *error = "fault '" + text + "': status must be a 32-bit number such as 0xC0000185";
      return false;
    }
    parsed.status = static_cast<NTSTATUS>(static_cast<ULONG>(value));
  }
  *rule = parsed;
  return true;
}

namespace {

constexpr char kDeviceWrite[] = "DeviceWrite";

// The writes that reach the drives' devices, as one more call that rules can name: "DeviceWrite#40+=0xC000007F"
// is a host disk that fills up at the 40th write under the volumes (undo journals included). Only the status
// rules apply; STATUS_DISK_FULL fails the write with ENOSPC, any other status with EIO.
class DeviceWriteFaults : public DeviceObserver {
 public:
  int Writing(File, int64_t, const void*, size_t) override {
    CountCall(kDeviceWrite);
    std::lock_guard<std::mutex> guard(State().mutex);
    int error = 0;
    for (FaultRule& rule : State().rules) {
      if (rule.call != kDeviceWrite) continue;
      const uint64_t number = ++rule.seen;
      if (!rule.fails || number < rule.first || (rule.count != 0 && number - rule.first >= rule.count)) continue;
      if (error == 0) error = rule.status == STATUS_DISK_FULL ? ENOSPC : EIO;
    }
    return error;
  }
  void Synced(File) override {}
};

DeviceWriteFaults g_deviceWriteFaults;

}  // namespace

void AddFaultRule(const FaultRule& rule) {
  std::lock_guard<std::mutex> guard(State().mutex);
  State().rules.push_back(rule);
  State().anyRules = true;
  if (rule.call == kDeviceWrite) SetDeviceObserver(&g_deviceWriteFaults);
}

void ClearFaultRules() {
  std::lock_guard<std::mutex> guard(State().mutex);
  State().rules.clear();
  State().anyRules = false;
  if (CurrentDeviceObserver() == &g_deviceWriteFaults) SetDeviceObserver(nullptr);
}

namespace {
thread_local bool t_corruptionRequested = false;
}  // namespace

bool TakeCorruptionRequest() {
  const bool requested = t_corruptionRequested;
  t_corruptionRequested = false;
  return requested;
}

bool InjectFault(const char* call, NTSTATUS* status) {
  FaultState& state = State();
  uint32_t delayMs = 0;
  bool fails = false;
  std::vector<std::function<void()>> actions;
  bool corrupts = false;
  CountCall(call);
  if (state.anyRules.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> guard(state.mutex);
    std::thread::id self = std::this_thread::get_id();
    for (FaultRule& rule : state.rules) {
      if (rule.call != call || (rule.thread != std::thread::id() && rule.thread != self)) continue;
      uint64_t number = ++rule.seen;
      if (number < rule.first || (rule.count != 0 && number - rule.first >= rule.count)) continue;
      delayMs += rule.delayMs;
      if (rule.before) actions.push_back(rule.before);
      if (rule.corrupts) corrupts = true;
      if (rule.fails && !fails) {
        fails = true;
        *status = rule.status;
      }
    }
  }
  // An interrupt cuts the wait short and, outside any other call, stops the program before this one starts.
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs);
  while (delayMs != 0 && std::chrono::steady_clock::now() < until && PendingInterrupt() == 0) {
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(until - std::chrono::steady_clock::now(),
                                                                              std::chrono::milliseconds(10)));
  }
  StopIfInterrupted();
  for (const auto& action : actions) action();
  t_corruptionRequested = corrupts && !fails;
  return fails;
}

NTSTATUS RecordCall(const char* call, NTSTATUS status) {
  TraceCallLine(call, static_cast<unsigned>(status));
  return status;
}

uint64_t CallCount(const std::string& call) {
  const std::map<std::string, uint64_t> counts = CallCounts();
  const auto found = counts.find(call);
  return found == counts.end() ? 0 : found->second;
}

std::map<std::string, uint64_t> CallCounts() {
  std::map<std::string, uint64_t> counts;
  for (const CallSlot& slot : State().slots) {
    const char* name = slot.name.load(std::memory_order_acquire);
    const uint64_t count = slot.count.load(std::memory_order_relaxed);
    if (name != nullptr && count != 0) counts[name] += count;
  }
  return counts;
}

void ResetCallLog() {
  for (CallSlot& slot : State().slots) slot.count.store(0, std::memory_order_relaxed);
}

}  // namespace host
