#pragma once
// How registration tokens and data messages reach the application: the
// messaging object keeps one delegate, weakly, and calls it on the main
// thread. The facade (QRVMessaging) says when each call is made; the
// application implements the protocol and sets itself as the delegate at
// launch.
//
// The protocol's selectors share their first piece ("messaging:"), so the
// methods are named after the whole selector. The first is required; the
// others do nothing unless overridden, as an optional method not
// implemented.

#include <memory>
#include <string>

#include "messaging/QRVMessagingRemoteMessage.h"

class QRVMessaging;

class QRVMessagingDelegate {
public:
    virtual ~QRVMessagingDelegate() = default;

    // messaging:didRefreshRegistrationToken: a new messaging token.
    virtual void messagingDidRefreshRegistrationToken(const std::shared_ptr<QRVMessaging>& messaging,
                                                      const std::string& token) = 0;
    // messaging:didReceiveMessage: a data message while the application is
    // in front.
    virtual void messagingDidReceiveMessage(const std::shared_ptr<QRVMessaging>& messaging,
                                            const std::shared_ptr<QRVMessagingRemoteMessage>& remoteMessage) {}
    // applicationReceivedRemoteMessage: the older form of the above.
    virtual void applicationReceivedRemoteMessage(const std::shared_ptr<QRVMessagingRemoteMessage>& remoteMessage) {}
};
