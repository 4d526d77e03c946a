#include <gtest/gtest.h>

#include "platform/startup.h"

// Every test binary starts like the program: the test thread becomes the main
// thread (tests pump its run loop), the launch arguments are recorded and the
// load hooks of the linked libraries run.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ns::processStartup(argc, argv);
    return RUN_ALL_TESTS();
}
