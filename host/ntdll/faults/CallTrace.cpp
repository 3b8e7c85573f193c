#include "host/ntdll/faults/CallTrace.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "text/Utf.h"

namespace host {
namespace {

std::atomic<int> g_traceFd{-1};
std::chrono::steady_clock::time_point g_traceStart;
thread_local std::string t_detail;

// Threads by a short number in the order they first called, which reads better than a system thread id.
unsigned ThreadNumber() {
  static std::mutex mutex;
  static std::map<std::thread::id, unsigned> numbers;
  std::lock_guard<std::mutex> guard(mutex);
  return numbers.emplace(std::this_thread::get_id(), static_cast<unsigned>(numbers.size() + 1)).first->second;
}

}  // namespace

bool OpenCallTrace(const std::string& path, std::string* error) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  // Child processes are started by fork, so the descriptor stays theirs without being inherited across exec.
  g_traceStart = std::chrono::steady_clock::now();
  g_traceFd.store(fd);
  return true;
}

bool CallTraceEnabled() { return g_traceFd.load(std::memory_order_relaxed) >= 0; }

std::string TraceName(const UNICODE_STRING* name) {
  if (name == nullptr || name->Buffer == nullptr) return "name=(none)";
  return "name=" + text::Utf16ToUtf8(std::u16string_view(name->Buffer, name->Length / sizeof(WCHAR)));
}

std::string TraceName(const OBJECT_ATTRIBUTES* attributes) {
  return TraceName(attributes != nullptr ? attributes->ObjectName : nullptr);
}

void TraceDetail(std::string detail) { t_detail = std::move(detail); }

void TraceCallLine(const char* call, unsigned status) {
  const int fd = g_traceFd.load(std::memory_order_relaxed);
  if (fd < 0) return;
  const auto elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - g_traceStart);
  std::string line = std::to_string(elapsed.count()) + " t" + std::to_string(ThreadNumber()) + " " + call + " ";
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", status);
  line += hex;
  if (!t_detail.empty()) line += " " + t_detail;
  line += "\n";
  t_detail.clear();
  // One write per line on an O_APPEND descriptor: lines of threads and processes never mix.
  if (write(fd, line.data(), line.size()) < 0) return;
}

}  // namespace host
