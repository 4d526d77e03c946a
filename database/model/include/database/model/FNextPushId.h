#pragma once
// Push ids: 20-character keys that sort in creation order.

#include <string>

class FNextPushId {
public:
    // 8 characters of the time in whole milliseconds, most significant first,
    // then 12 random characters; within the same millisecond as the previous
    // call the previous random part plus one, so keys keep increasing.
    static std::string get(double currentTimeSeconds);
};
