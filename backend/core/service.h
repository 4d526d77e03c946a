#pragma once
// A back-end service is a module that installs its endpoints on each
// listener. Services find their files in the data dir and share state
// through the context.

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <typeindex>
#include <vector>

#include "backend/core/http.h"
#include "backend/core/options.h"

namespace backend {

class WebSocketRouter;

struct Listener {
    enum class Kind { Http, Https };
    Kind kind = Kind::Http;
    bool tls() const { return kind == Kind::Https; }
    // "http" or "https"
    const char* name() const { return tls() ? "https" : "http"; }
};

class Context {
public:
    explicit Context(Options options);

    const Options& options() const { return options_; }
    const std::filesystem::path& dataDir() const { return dataDir_; }

    // Known once the listeners are bound (0 before).
    int httpPort() const { return httpPort_.load(); }
    int httpsPort() const { return httpsPort_.load(); }
    void setPorts(int http, int https);
    // The web-socket listeners' ports, known once they are bound (0 before).
    int wsPort() const { return wsPort_.load(); }
    int wssPort() const { return wssPort_.load(); }
    void setWebSocketPorts(int ws, int wss) {
        wsPort_.store(ws);
        wssPort_.store(wss);
    }

    // The messaging channel server's TLS port, known once it listens (0
    // before, and when it does not run).
    int mcsPort() const { return mcsPort_.load(); }
    void setMcsPort(int port) { mcsPort_.store(port); }

    // The per-run secret admin and fault endpoints ask for (hex), made
    // when the context is.
    const std::string& adminSecret() const { return adminSecret_; }

    // True once shutdown has begun; long waits check it.
    bool stopping() const { return stopping_.load(); }
    void setStopping() { stopping_.store(true); }

    // State shared between services (and between the two listeners of one
    // service), created on first use. The object must do its own locking.
    // Asking for an existing key with another type throws std::logic_error.
    template <class T>
    std::shared_ptr<T> shared(const std::string& key) {
        std::lock_guard lock(mutex_);
        auto it = shared_.find(key);
        if (it == shared_.end()) {
            auto made = std::make_shared<T>();
            shared_.emplace(key, Entry{std::type_index(typeid(T)), made});
            return made;
        }
        if (it->second.type != std::type_index(typeid(T))) {
            throw std::logic_error("shared state '" + key + "' has another type");
        }
        return std::static_pointer_cast<T>(it->second.object);
    }

    // An object one service offers the others (the push gateway, the channel
    // server), found by key; null until published. It must live as long as
    // the listeners.
    template <class T>
    void publish(const std::string& key, T* object) {
        auto slot = shared<Published<T>>(key);
        std::lock_guard lock(slot->mutex);
        slot->object = object;
    }
    template <class T>
    T* published(const std::string& key) {
        auto slot = shared<Published<T>>(key);
        std::lock_guard lock(slot->mutex);
        return slot->object;
    }

private:
    template <class T>
    struct Published {
        std::mutex mutex;
        T* object = nullptr;
    };
    struct Entry {
        std::type_index type;
        std::shared_ptr<void> object;
    };
    Options options_;
    std::filesystem::path dataDir_;
    std::string adminSecret_;
    std::atomic<int> httpPort_{0};
    std::atomic<int> httpsPort_{0};
    std::atomic<int> wsPort_{0};
    std::atomic<int> wssPort_{0};
    std::atomic<int> mcsPort_{0};
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::map<std::string, Entry> shared_;
};

class Service {
public:
    virtual ~Service() = default;
    virtual std::string name() const = 0;
    // Once, before any listener exists: load state from the data dir.
    virtual void start(Context& context) {}
    // Once per listener (http and https), before it accepts connections.
    virtual void install(HttpRouter& server, const Listener& listener, Context& context) = 0;
    // Once, before the web-socket listeners (ws and wss) accept connections:
    // routes for upgrade requests, by path.
    virtual void installWebSockets(WebSocketRouter& router, Context& context) {}
    // When shutting down, before the listeners stop: end long waits (they
    // would hold up the shutdown) and flush state.
    virtual void stop() {}
};

}  // namespace backend
