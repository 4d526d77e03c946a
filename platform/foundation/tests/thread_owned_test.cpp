// A thread's own objects end with their thread, newest first, and one made
// while the thread ends is not left behind.

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/no_destructor.h"
#include "platform/thread_owned.h"

namespace {

std::vector<std::string>& ended() {
    static ns::NoDestructor<std::vector<std::string>> log;
    return *log;
}

struct Late {
    ~Late() { ended().push_back("late"); }
};
Late& late() {
    thread_local Late* slot = nullptr;
    return ns::threadOwned(slot);
}

struct First {
    ~First() {
        ended().push_back("first");
        // A destructor that needs another thread-owned object gets one,
        // which is destroyed in the same pass.
        (void)late();
    }
};
First& first() {
    thread_local First* slot = nullptr;
    return ns::threadOwned(slot);
}

struct Second {
    int uses = 0;
    ~Second() { ended().push_back("second:" + std::to_string(uses)); }
};
Second& second() {
    thread_local Second* slot = nullptr;
    return ns::threadOwned(slot);
}

TEST(ThreadOwned, EachThreadsObjectsEndWithItNewestFirst) {
    ended().clear();
    std::thread([] {
        (void)first();
        ++second().uses;
        ++second().uses;  // the same object on the thread's next use
    }).join();
    EXPECT_EQ(ended(), (std::vector<std::string>{"second:2", "first", "late"}));

    // Another thread has objects of its own.
    ended().clear();
    std::thread([] { ++second().uses; }).join();
    EXPECT_EQ(ended(), (std::vector<std::string>{"second:1"}));
}

}  // namespace
