#pragma once
// The device's check-in credentials as messaging sees them: instance
// identity's check-in record, found through class "QRVInstanceID" ->
// "instanceID" -> "cachedCheckinPreferences" and read by selector names
// ("deviceID", "secretToken", "versionInfo", "digest", "hasValidCheckinInfo")
// without naming its class. Without instance identity every answer is
// empty or NO.
//
// No lock of its own: the registrar that holds it loads and reads it under
// the registrar's lock, from the main thread (the channel client) and from
// the pending topics' queue (topic requests); the topic operations only
// read the kept record from their operation queue, after it was loaded.

#include <optional>
#include <string>

#include "platform/value.h"

class QRVMessagingCheckinService {
public:
    QRVMessagingCheckinService() = default;

    // Takes instance identity's cached record when it is valid (YES);
    // otherwise NO and the kept record stays.
    bool tryToLoadPrefetchedCheckinPreferences();

    std::optional<std::string> deviceAuthID() const;
    std::optional<std::string> secretToken() const;
    std::optional<std::string> versionInfo() const;
    std::optional<std::string> digest() const;
    bool hasValidCheckinInfo() const;

    const ns::ObjectPtr& checkinPreferences() const { return checkinPreferences_; }

private:
    ns::ObjectPtr checkinPreferences_;
};

// The string answer of `selector` when `object` responds to it.
std::optional<std::string> QRVMessagingCheckinService_propertyNamed(const ns::ObjectPtr& object,
                                                                     std::string_view selector);
// The BOOL answer of "hasValidCheckinInfo" when `object` responds to it.
bool QRVMessagingCheckinService_hasValidCheckinInfo(const ns::ObjectPtr& object);
