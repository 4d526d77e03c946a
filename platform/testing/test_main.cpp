#include <gtest/gtest.h>

#include "platform/dispatch.h"
#include "platform/startup.h"
#include "testing/temp_sandbox.h"

// Every test binary starts like the program: the test thread becomes the main
// thread (tests pump its run loop), the launch arguments are recorded and the
// load hooks of the linked libraries run. A process-wide temporary sandbox
// keeps tests that make no sandbox of their own away from the user's files.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ns::testing::TempSandbox processSandbox;
    ns::processStartup(argc, argv);
    const int status = RUN_ALL_TESTS();
    // Work the tests left running (instance identity's key pair is made on a
    // global queue) finishes inside the process sandbox, not against the
    // user's own files or statics already destroyed.
    ns::waitForQueuedWork(30);
    return status;
}
