// The data message manager over the real channel: the channel client for
// sending and reconnecting, the messaging object for the network state.

#include "messaging/QRVMessaging.h"
#include "messaging/QRVMessagingClient.h"
#include "messaging/QRVMessagingDataMessageManager.h"

namespace {

// The channel as the client and the messaging object show it.
class ClientChannel : public QRVMessagingDataMessageChannel {
public:
    explicit ClientChannel(std::weak_ptr<QRVMessagingClient> client) : client_(std::move(client)) {}
    bool isConnectionActive() override {
        auto client = client_.lock();
        return client && client->isConnectionActive();
    }
    bool isNetworkAvailable() override { return QRVMessaging::messaging()->isNetworkAvailable(); }
    void sendMessage(const std::shared_ptr<google::protobuf::Message>& message) override {
        if (auto client = client_.lock()) client->sendMessage(message);
    }
    void sendOnConnectOrDrop(const std::shared_ptr<google::protobuf::Message>& message) override {
        if (auto client = client_.lock()) client->sendOnConnectOrDrop(message);
    }
    void retryConnectionImmediately(bool immediately) override {
        if (auto client = client_.lock()) client->retryConnectionImmediately(immediately);
    }

private:
    std::weak_ptr<QRVMessagingClient> client_;
};

}  // namespace

std::shared_ptr<QRVMessagingDataMessageManager> QRVMessagingDataMessageManager::initWithDelegate(
    std::weak_ptr<QRVMessagingDataMessageManagerDelegate> delegate, std::weak_ptr<QRVMessagingClient> client,
    std::weak_ptr<QRVMessagingRmqManager> rmq2Manager, std::weak_ptr<QRVMessagingSyncMessageManager> syncMessageManager) {
    return initWithDelegate(std::move(delegate), std::make_shared<ClientChannel>(std::move(client)),
                            std::move(rmq2Manager), std::move(syncMessageManager));
}

