#include "Harness.h"

namespace {

constexpr size_t kLineSize = 256;
// Long expressions are cut so that a failure line stays within what one display call shows whole under Wine.
constexpr size_t kExpressionShown = 110;

int g_checks = 0;
int g_failures = 0;

const char* BaseName(const char* path) {
  const char* name = path;
  for (const char* at = path; *at != '\0'; ++at) {
    if (*at == '/' || *at == '\\') name = at + 1;
  }
  return name;
}

// Copies at most `size` - 1 characters of a 16-bit text into `out` as ASCII, anything else as '?'.
void NarrowForDisplay(const WCHAR* text, char* out, size_t size) {
  size_t used = 0;
  for (; text != nullptr && text[used] != 0 && used + 1 < size; ++used) {
    out[used] = text[used] < 0x80 ? static_cast<char>(text[used]) : '?';
  }
  out[used] = '\0';
}

void ReportFailure(const char* file, int line, const char* expression, const char* expected, const char* actual) {
  ++g_failures;
  char shown[kExpressionShown + 1];
  size_t length = 0;
  for (; expression[length] != '\0' && length < kExpressionShown; ++length) shown[length] = expression[length];
  shown[length] = '\0';
  ConformancePrint("FAIL %s:%d %s\n", BaseName(file), line, shown);
  ConformancePrint("     expected %s, got %s\n", expected, actual);
}

void ReportTextFailure(const char* file, int line, const char* expression, const char* expected, const char* actual) {
  char want[64], got[64];
  NtdllSnprintf(want, sizeof want - 1, "\"%.50s\"", expected);
  NtdllSnprintf(got, sizeof got - 1, "\"%.50s\"", actual);
  ReportFailure(file, line, expression, want, got);
}

bool IsUnderWine() {
  SObjectName name(u"\\Registry\\Machine\\Software\\Wine");
  HANDLE key = nullptr;
  if (!NT_SUCCESS(NtOpenKey(&key, KEY_QUERY_VALUE, name.Get()))) return false;
  NtClose(key);
  return true;
}

struct SGroup {
  const char* name;
  void (*run)(const SConformanceEnvironment&);
};

constexpr SGroup kGroups[] = {
    {"files", &FileChecks},        {"sync", &SyncChecks},     {"threads", &ThreadChecks},
    {"registry", &RegistryChecks}, {"format", &FormatChecks}, {"process", &ProcessChecks},
};

}  // namespace

SConformancePath::SConformancePath(const SConformanceEnvironment& env, const WCHAR* name) {
  size_t used = 0;
  for (const WCHAR* part : {env.directory_, name}) {
    for (; *part != 0 && used + 1 < sizeof text_ / sizeof text_[0]; ++part) text_[used++] = *part;
  }
  text_[used] = 0;
}

SObjectName::SObjectName(const WCHAR* name, ULONG attributes) {
  RtlInitUnicodeString(&name_, name);
  attributes_ = OBJECT_ATTRIBUTES{sizeof(OBJECT_ATTRIBUTES), nullptr, &name_, attributes, nullptr, nullptr};
}

void ConformancePrint(const char* format, ...) {
  char text[kLineSize] = {};
  va_list args;
  va_start(args, format);
  NtdllVsnprintf(text, sizeof text - 1, format, args);
  va_end(args);
  WCHAR wide[kLineSize] = {};
  size_t length = 0;
  for (; text[length] != '\0'; ++length) wide[length] = static_cast<UCHAR>(text[length]);
  UNICODE_STRING shown{static_cast<USHORT>(length * sizeof(WCHAR)), static_cast<USHORT>(sizeof wide), wide};
  NtDisplayString(&shown);
}

bool ConformanceCheckStatus(const char* file, int line, const char* expression, NTSTATUS expected, NTSTATUS actual) {
  ++g_checks;
  if (expected == actual) return true;
  char want[16], got[16];
  NtdllSnprintf(want, sizeof want, "0x%08x", expected);
  NtdllSnprintf(got, sizeof got, "0x%08x", actual);
  ReportFailure(file, line, expression, want, got);
  return false;
}

bool ConformanceCheckValue(const char* file, int line, const char* expression, ULONGLONG expected, ULONGLONG actual) {
  ++g_checks;
  if (expected == actual) return true;
  char want[32], got[32];
  NtdllSnprintf(want, sizeof want, "%I64u (0x%I64x)", expected, expected);
  NtdllSnprintf(got, sizeof got, "%I64u (0x%I64x)", actual, actual);
  ReportFailure(file, line, expression, want, got);
  return false;
}

bool ConformanceCheckText(const char* file, int line, const char* expression, const char* expected,
                          const char* actual) {
  ++g_checks;
  if (actual != nullptr && strcmp(expected, actual) == 0) return true;
  ReportTextFailure(file, line, expression, expected, actual != nullptr ? actual : "(null)");
  return false;
}

bool ConformanceCheckWideText(const char* file, int line, const char* expression, const WCHAR* expected,
                              const WCHAR* actual) {
  ++g_checks;
  size_t at = 0;
  while (actual != nullptr && expected[at] != 0 && expected[at] == actual[at]) ++at;
  if (actual != nullptr && expected[at] == actual[at]) return true;
  char want[56], got[56];
  NarrowForDisplay(expected, want, sizeof want);
  NarrowForDisplay(actual != nullptr ? actual : u"(null)", got, sizeof got);
  ReportTextFailure(file, line, expression, want, got);
  return false;
}

int RunConformanceChecks(const WCHAR* directory) {
  const SConformanceEnvironment env{directory, IsUnderWine()};
  ConformancePrint("sxconformance: %s\n", env.underWine_ ? "under Wine" : "not under Wine");
  for (const SGroup& group : kGroups) {
    const int checks = g_checks, failures = g_failures;
    group.run(env);
    ConformancePrint("%-9s %d checks, %d failed\n", group.name, g_checks - checks, g_failures - failures);
  }
  ConformancePrint("sxconformance: %d checks, %d failed\n", g_checks, g_failures);
  return g_failures;
}

int RunFileChecksAgain(const WCHAR* directory, const char* label) {
  const int checks = g_checks, failures = g_failures;
  FileChecks(SConformanceEnvironment{directory, false});
  ConformancePrint("files on %s: %d checks, %d failed\n", label, g_checks - checks, g_failures - failures);
  return g_failures;
}
