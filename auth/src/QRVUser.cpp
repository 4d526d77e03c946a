#include "auth/QRVUser.h"

#include "platform/format.h"

QRVUser::QRVUser(std::string uid, std::optional<std::string> email) : uid_(std::move(uid)), email_(std::move(email)) {}

bool QRVUser::isKeySafeUid(const std::string& uid) {
    if (uid.empty() || uid.size() > 128) return false;
    for (unsigned char c : uid) {
        if (c < 0x20 || c == 0x7f) return false;
        switch (c) {
        case '/':
        case '.':
        case '#':
        case '$':
        case '[':
        case ']': return false;
        default: break;
        }
    }
    return true;
}

std::string QRVUser::description() const {
    return ns::format("<QRVUser uid=%@ email=%@>", uid_, email_ ? ns::Value(*email_) : ns::Value());
}
