#include "volume/Volume.h"

#include "log/Logger.h"
#include "volume/OpenFile.h"

namespace {

constexpr ULONG kHardErrorsOff = 0;
constexpr ULONG kHardErrorsDefault = 1;

NTSTATUS SetHardErrorMode(ULONG mode) {
  return NtSetInformationProcess(NtCurrentProcess(), ProcessDefaultHardErrorMode, &mode, sizeof mode);
}

}  // namespace

CVolume::~CVolume() {
  if (handle_ != nullptr) NtClose(handle_);
}

bool CVolume::Initialize(const WCHAR* path) {
  path_ = path;
  // A failed open leaves the handle null; both queries then fail on it and say so.
  OpenFile(path, &handle_, FILE_READ_DATA, FILE_ATTRIBUTE_NORMAL,
           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, 0);
  NTSTATUS clustersStatus = QueryTotalClusters();
  NTSTATUS zonesStatus = GetVolumeInfo(reservedZones_);
  driveLetter_ = path_.size() > 4 ? path_[4] : 0;
  return !NT_ERROR(clustersStatus) && NT_SUCCESS(zonesStatus);
}

NTSTATUS CVolume::QueryTotalClusters() {
  STARTING_LCN_INPUT_BUFFER input{};
  // Header plus a few bitmap bytes: the request is only after BitmapSize, so it normally overflows.
  alignas(8) UCHAR output[28] = {};
  IO_STATUS_BLOCK ioStatus{};
  NTSTATUS status = NtFsControlFile(handle_, nullptr, nullptr, nullptr, &ioStatus, FSCTL_GET_VOLUME_BITMAP, &input,
                                    sizeof input, output, sizeof output);
  if (!NT_ERROR(status)) totalClusters_ = reinterpret_cast<VOLUME_BITMAP_BUFFER*>(output)->BitmapSize.QuadPart;
  return status;
}

NTSTATUS CVolume::GetVolumeInfo(std::vector<SReservedZone>& zones) {
  SX_LOG_FUNCTION("CVolume::GetVolumeInfo");
  SX_LOG(1, "Trying to obtain reserved zones");
  NTFS_VOLUME_DATA_BUFFER data{};
  IO_STATUS_BLOCK ioStatus{};
  NTSTATUS status = NtFsControlFile(handle_, nullptr, nullptr, nullptr, &ioStatus, FSCTL_GET_NTFS_VOLUME_DATA, nullptr,
                                    0, &data, sizeof data);
  if (!NT_SUCCESS(status)) {
    SX_LOG(1, "Failed to get volume info (code: 0x%x, handle=0x%x)", status,
           static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(handle_)));
    return status;
  }
  SX_LOG(1, "MftZone: <%I64d, %I64d)", data.MftZoneStart.QuadPart, data.MftZoneEnd.QuadPart);
  SReservedZone zone{data.MftZoneStart.QuadPart, data.MftZoneEnd.QuadPart};
  if (zone.Start < 0) zone.Start = 0;
  if (zone.Start > totalClusters_) zone.Start = totalClusters_;
  if (zone.End < zone.Start) zone.End = zone.Start;
  if (zone.End > totalClusters_) zone.End = totalClusters_;
  zones.push_back(zone);
  return status;
}

NTSTATUS FlushBuffers(std::shared_ptr<CVolume> volume) {
  SX_LOG_FUNCTION("FlushBuffers");
  std::u16string path = u"\\??\\X:";
  path[4] = volume->GetDriveLetter();

  NTSTATUS status = SetHardErrorMode(kHardErrorsOff);
  if (NT_ERROR(status)) {
    SX_LOG(1, "NtSetInformationProcess (ProcessDefaultHardErrorMode/NOERROR) failed with error code 0x%x", status);
    return status;
  }

  UNICODE_STRING name;
  RtlInitUnicodeString(&name, path.c_str());
  OBJECT_ATTRIBUTES attributes{sizeof(OBJECT_ATTRIBUTES), nullptr, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr};
  IO_STATUS_BLOCK ioStatus{};
  HANDLE handle = nullptr;
  NTSTATUS openStatus =
      NtCreateFile(&handle, FILE_GENERIC_READ_WRITE, &attributes, &ioStatus, nullptr, FILE_ATTRIBUTE_NORMAL,
                   FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (NT_ERROR(openStatus)) {
    SX_LOG(1, "NtCreateFile failed with error code 0x%x", openStatus);
    status = SetHardErrorMode(kHardErrorsDefault);
    if (NT_ERROR(status)) {
      SX_LOG(1, "NtSetInformationProcess (ProcessDefaultHardErrorMode/DEFAULT) failed with error code 0x%x", status);
    }
    return openStatus;
  }

  NTSTATUS flushStatus = STATUS_UNSUCCESSFUL;
  if (handle != nullptr) {
    IO_STATUS_BLOCK flushIoStatus{};
    flushStatus = NtFlushBuffersFile(handle, &flushIoStatus);
    if (NT_ERROR(flushStatus)) {
      SX_LOG(1, "NtFlushBuffersFile failed with error code 0x%x (handle: 0x%x)", flushStatus,
             static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(handle)));
    }
    NtClose(handle);
  }

  status = SetHardErrorMode(kHardErrorsDefault);
  if (NT_ERROR(status)) {
    SX_LOG(1, "NtSetInformationProcess (ProcessDefaultHardErrorMode/DEFAULT) failed with error code 0x%x", status);
    return status;
  }
  if (!NT_ERROR(flushStatus)) SX_LOG(1, "Successfully flushed buffer for volume %S", path.c_str());
  return status;
}
