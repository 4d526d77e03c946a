#pragma once
// The signed-in user: an immutable value handed out by QRVAuth.

#include <optional>
#include <string>

#include "platform/value.h"

class QRVUser : public ns::Object {
public:
    QRVUser(std::string uid, std::optional<std::string> email);

    // Never empty, and safe as a database key and a storage path segment
    // (answers with any other uid are refused; see isKeySafeUid).
    const std::string& uid() const { return uid_; }
    const std::optional<std::string>& email() const { return email_; }

    // Whether a uid handed out by the service can be used as a key and a path
    // segment (non-empty, no "/ . # $ [ ]", no control characters).
    static bool isKeySafeUid(const std::string& uid);

    std::string className() const override { return "QRVUser"; }
    std::string description() const override;

private:
    std::string uid_;
    std::optional<std::string> email_;
};
