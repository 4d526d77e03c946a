#pragma once
// The channel client's owner (the messaging object) as the client sees it.

class QRVMessagingClientDelegate {
public:
    virtual ~QRVMessagingClientDelegate() = default;
    // The channel went down without the client asking for it (the server's
    // Close): the owner tells its observers the connection state changed.
    virtual void clientDidLoseConnection() {}
};
