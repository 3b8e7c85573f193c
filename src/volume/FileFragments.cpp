#include "volume/FileFragments.h"

#include "volume/Volume.h"

namespace {

constexpr ULONG kExtentsPerRequest = 20;
constexpr ULONG kRetrievalBufferSize = 16 + kExtentsPerRequest * 16;  // 336 bytes

void AddRun(SFileFragments& fragments, LONGLONG lcn, LONGLONG length) {
  if (!fragments.Fragments.empty()) {
    SFileFragment& last = fragments.Fragments.back();
    if (last.Lcn + last.LcnCount == lcn) {
      last.LcnCount += length;
      last.Vcn += length;
      fragments.VcnCount += length;
      return;
    }
  }
  // Virtual runs before the first allocated one belong to the first fragment.
  LONGLONG vcn = fragments.Fragments.empty() && fragments.VcnCount > 0 ? fragments.VcnCount + length : length;
  fragments.Fragments.push_back(SFileFragment{lcn, length, vcn});
  fragments.VcnCount += length;
  fragments.FragmentCount += 1;
}

}  // namespace

NTSTATUS GetFileFragments(std::shared_ptr<CVolume> volume, HANDLE file, SFileFragments& fragments) {
  fragments.VcnCount = 0;
  fragments.FragmentCount = 0;
  fragments.Fragments.clear();
  const LONGLONG totalClusters = volume->GetTotalClusters();

  alignas(8) UCHAR buffer[kRetrievalBufferSize] = {};
  auto* pointers = reinterpret_cast<RETRIEVAL_POINTERS_BUFFER*>(buffer);
  STARTING_VCN_INPUT_BUFFER request{};
  NTSTATUS status;
  do {
    IO_STATUS_BLOCK ioStatus{};
    status = NtFsControlFile(file, nullptr, nullptr, nullptr, &ioStatus, FSCTL_GET_RETRIEVAL_POINTERS, &request,
                             sizeof request, buffer, sizeof buffer);
    if (status != STATUS_SUCCESS && status != STATUS_BUFFER_OVERFLOW) break;
    // Never trust a count beyond what the buffer can hold.
    ULONG extents = pointers->ExtentCount < kExtentsPerRequest ? pointers->ExtentCount : kExtentsPerRequest;
    if (extents == 0) break;
    LONGLONG start = pointers->StartingVcn.QuadPart;
    for (ULONG i = 0; i < extents; ++i) {
      LONGLONG next = pointers->Extents[i].NextVcn.QuadPart;
      LONGLONG lcn = pointers->Extents[i].Lcn.QuadPart;
      LONGLONG length;
      // A run that goes backwards (or cannot even be measured) ends the whole operation.
      if (__builtin_sub_overflow(next, start, &length) || length < 0) return status;
      if (length > INT64_MAX - fragments.VcnCount) return status;  // no file is that large
      start = next;
      if (lcn == -1) {
        if (!fragments.Fragments.empty()) fragments.Fragments.back().Vcn += length;
        fragments.VcnCount += length;
      } else if (lcn >= 0 && lcn <= totalClusters && length <= totalClusters - lcn) {
        AddRun(fragments, lcn, length);
      }
    }
    LONGLONG nextRequest = pointers->Extents[extents - 1].NextVcn.QuadPart;
    // An answer that does not advance would be asked again for ever; it ends the operation as it stands.
    if (status == STATUS_BUFFER_OVERFLOW && nextRequest <= request.StartingVcn.QuadPart) break;
    request.StartingVcn.QuadPart = nextRequest;
  } while (status == STATUS_BUFFER_OVERFLOW);
  return status == STATUS_END_OF_FILE ? STATUS_SUCCESS : status;
}

std::string ToAnsiString(const std::u16string& text) {
  UNICODE_STRING wide;
  RtlInitUnicodeString(&wide, text.c_str());
  ANSI_STRING narrow{};
  if (!NT_SUCCESS(RtlUnicodeStringToAnsiString(&narrow, &wide, true))) return {};
  std::string result(narrow.Buffer, narrow.Length);
  RtlFreeAnsiString(&narrow);
  return result;
}
