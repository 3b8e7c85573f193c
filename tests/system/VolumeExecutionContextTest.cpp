// The per-volume execution state shared by the main thread and the processing thread.
#include <gtest/gtest.h>

#include "SystemImage.h"
#include "host/ntdll/faults/Faults.h"
#include "native/VolumeExecutionContext.h"

namespace {

TEST(VolumeExecutionContext, AbortAndFinishAreOneWayAndTheEventFollowsTheFlag) {
  SVolumeExecutionContext context(nullptr, nullptr, 0.5, true);
  ASSERT_TRUE(context.Initialize());
  EXPECT_TRUE(context.IsRunning());
  context.RequestAbort();
  EXPECT_FALSE(context.IsRunning());

  LARGE_INTEGER zero{};
  EXPECT_EQ(STATUS_TIMEOUT, NtWaitForSingleObject(context.processingFinishedEvent_, false, &zero));
  EXPECT_FALSE(context.IsProcessingFinished());
  EXPECT_EQ(STATUS_SUCCESS, context.SetProcessingFinished());
  EXPECT_TRUE(context.IsProcessingFinished());
  EXPECT_EQ(STATUS_WAIT_0, NtWaitForSingleObject(context.processingFinishedEvent_, false, &zero));

  context.ResetProgress();
  EXPECT_EQ(0.0, context.progress_);
  EXPECT_EQ(STATUS_SUCCESS, context.GetProcessingResult());
}

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
