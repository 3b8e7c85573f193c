// The processing thread of one volume: it walks the volume's configured files and hands each one to the engine,
// while the main thread polls the keyboard for an abort.
#pragma once

#include "platform/NativeApi.h"

struct SDefragContext;
struct SFileFragments;

// The thread's parameter. Both records belong to the main sequence, which releases them only after the thread
// has ended.
struct SProcessingThreadParameters {
  SDefragContext* context;
  SFileFragments* fragments;
};

// The thread routine (parameter: SProcessingThreadParameters*). Stops after the first file the engine answers
// STATUS_CANCELLED for, records the last failure as the volume's result, sets the finished flag and ends the
// thread.
NTSTATUS NTAPI ProcessingThreadStub(PVOID parameter);
