#pragma once
// One outgoing channel frame waiting to be written, and the first-in
// first-out queue of them the secure socket keeps. Used on the socket's run
// loop only.

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "platform/value.h"

class QRVMessagingPacket : public ns::Object {
public:
    static std::shared_ptr<QRVMessagingPacket> packetWithTag(int8_t tag, const std::string& rmqId, ns::Data data) {
        return std::make_shared<QRVMessagingPacket>(tag, rmqId, std::move(data));
    }
    QRVMessagingPacket(int8_t tag, std::string rmqId, ns::Data data)
        : tag_(tag), rmqId_(std::move(rmqId)), data_(std::move(data)) {}

    int8_t tag() const { return tag_; }
    // "" when the message carries no reliable-message id.
    const std::string& rmqId() const { return rmqId_; }
    const ns::Data& data() const { return data_; }

    std::string className() const override { return "QRVMessagingPacket"; }
    std::string description() const override;

private:
    int8_t tag_;
    std::string rmqId_;
    ns::Data data_;
};

class QRVMessagingPacketQueue {
public:
    void push(std::shared_ptr<QRVMessagingPacket> packet) { packetsContainer_.push_back(std::move(packet)); }
    void pushHead(std::shared_ptr<QRVMessagingPacket> packet) { packetsContainer_.push_front(std::move(packet)); }
    // The first packet, removed; nullptr when empty.
    std::shared_ptr<QRVMessagingPacket> pop();
    bool isEmpty() const { return packetsContainer_.empty(); }
    size_t count() const { return packetsContainer_.size(); }

private:
    std::deque<std::shared_ptr<QRVMessagingPacket>> packetsContainer_;
};
