// The per-volume execution state shared by the main thread and the processing thread: a failed event creation.
// (Aborts reach the engine tests; the finished event ends every whole boot.)
#include <gtest/gtest.h>

#include "SystemImage.h"
#include "host/ntdll/faults/Faults.h"
#include "native/VolumeExecutionContext.h"

namespace {

TEST(VolumeExecutionContext, FailedEventCreationIsLoggedAndRefused) {
  SVolumeExecutionContext context(nullptr, nullptr, 0.0, true);
  LoggedSinceLastMark();
  FailNextCallOnThisThread("NtCreateEvent#1=0xC000009A");
  EXPECT_FALSE(context.Initialize());
  host::ClearFaultRules();
  EXPECT_NE(std::string::npos,
            LoggedSinceLastMark().find("L1 LOGGER: processingFinishedEvent_ was not created. ERROR: 0xc000009a\r\n"));
}

}  // namespace
