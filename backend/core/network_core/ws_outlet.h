#pragma once
// A web socket's outgoing side as its handlers see it: the queue of
// messages, fragments, pings and closes waiting for the socket, bounded so
// that a peer that stops reading is ended rather than buffered for.
// Private to backend/core/http_server.cpp, the one unit that includes it
// (Boost.Beast is parsed there only): its anonymous namespace keeps these
// classes to that unit.

#include "backend/core/network_core/impl.h"

namespace backend {

namespace {

class Outlet final : public WebSocketOutlet {
public:
    enum class What { Message, Fragment, Ping, Close, Raw, EndSend };
    struct Item {
        What what = What::Message;
        bool text = true;
        bool fin = true;
        std::string data;
        uint16_t code = 0;
    };

    explicit Outlet(std::size_t limit) : limit_(limit) {}

    bool send(WebSocketSession::Message message) override {
        const bool text = message.text;
        return push(Item{What::Message, text, true, std::move(message.data), 0});
    }
    bool sendFragment(bool text, std::string data, bool fin) override {
        return push(Item{What::Fragment, text, fin, std::move(data), 0});
    }
    bool ping(std::string payload) override { return push(Item{What::Ping, true, true, std::move(payload), 0}); }
    void close(uint16_t code, std::string reason) override {
        std::lock_guard lock(mutex_);
        if (ended_ || closing_) return;
        closing_ = true;
        queue_.push_back(Item{What::Close, true, true, std::move(reason), code});
        wakeLocked();
    }
    void abort() override {
        std::lock_guard lock(mutex_);
        if (ended_) return;
        abort_ = true;
        wakeLocked();
    }
    bool sendRaw(std::string bytes) override { return push(Item{What::Raw, false, true, std::move(bytes), 0}); }
    void endSend() override { push(Item{What::EndSend, false, true, {}, 0}); }
    bool ended() const override {
        std::lock_guard lock(mutex_);
        return ended_;
    }

    // The session's side. `wake` only posts onto the session's strand (it
    // runs with the lock held).
    void attach(std::function<void()> wake) {
        std::lock_guard lock(mutex_);
        if (ended_) return;
        wake_ = std::move(wake);
        wakePending_ = false;
        if (!queue_.empty() || abort_) wakeLocked();
    }
    void detach() {
        std::lock_guard lock(mutex_);
        ended_ = true;
        wake_ = nullptr;
        queue_.clear();
        queued_ = 0;
    }
    void drained() {
        std::lock_guard lock(mutex_);
        wakePending_ = false;
    }
    bool abortRequested() const {
        std::lock_guard lock(mutex_);
        return abort_;
    }
    std::optional<Item> pop() {
        std::lock_guard lock(mutex_);
        if (queue_.empty()) return std::nullopt;
        Item item = std::move(queue_.front());
        queue_.pop_front();
        return item;
    }
    // The whole messages at the front, up to `maxBytes` of them, when two
    // or more wait there.
    std::vector<Item> popMessages(std::size_t maxBytes) {
        std::lock_guard lock(mutex_);
        std::size_t count = 0, bytes = 0;
        for (const Item& item : queue_) {
            if (item.what != What::Message || bytes + item.data.size() > maxBytes) break;
            bytes += item.data.size();
            ++count;
        }
        if (count < 2) return {};
        std::vector<Item> items(std::make_move_iterator(queue_.begin()),
                                std::make_move_iterator(queue_.begin() + std::ptrdiff_t(count)));
        queue_.erase(queue_.begin(), queue_.begin() + std::ptrdiff_t(count));
        return items;
    }
    // Gives back what popMessages took, in its place.
    void unpop(std::vector<Item>& items) {
        std::lock_guard lock(mutex_);
        queue_.insert(queue_.begin(), std::make_move_iterator(items.begin()), std::make_move_iterator(items.end()));
    }
    // Bytes leave the count once written.
    void written(std::size_t bytes) {
        std::lock_guard lock(mutex_);
        queued_ -= std::min(queued_, bytes);
    }

private:
    bool push(Item item) {
        std::lock_guard lock(mutex_);
        if (ended_ || closing_ || abort_) return false;
        if (queued_ + item.data.size() > limit_) {
            // The peer does not read what it is sent; holding more would
            // only grow the queue.
            std::cerr << "almavel-backend: a web socket's unread output passed " << limit_
                      << " bytes; ending the connection" << std::endl;
            abort_ = true;
            wakeLocked();
            return false;
        }
        queued_ += item.data.size();
        queue_.push_back(std::move(item));
        wakeLocked();
        return true;
    }
    void wakeLocked() {
        if (wake_ && !wakePending_) {
            wakePending_ = true;
            wake_();
        }
    }

    const std::size_t limit_;
    mutable std::mutex mutex_;
    std::deque<Item> queue_;
    std::size_t queued_ = 0;
    std::function<void()> wake_;
    bool wakePending_ = false;
    bool ended_ = false;
    bool closing_ = false;
    bool abort_ = false;
};

}  // namespace

}  // namespace backend
