#include "core/QRVMutableDictionary.h"

QRVMutableDictionary::QRVMutableDictionary() : queue_(ns::DispatchQueue::serial("QRVMutableDictionary")) {}

QRVMutableDictionary::~QRVMutableDictionary() { queue_->sync([] {}); }

ns::Value QRVMutableDictionary::objectForKey(const std::string& key) const {
    ns::Value result;
    queue_->sync([&] {
        auto it = objects_.find(key);
        if (it != objects_.end()) result = it->second;
    });
    return result;
}

void QRVMutableDictionary::setObject(ns::Value object, const std::string& key) {
    queue_->async([this, object = std::move(object), key] {
        if (object.isNull()) {
            objects_.erase(key);
        } else {
            objects_[key] = object;
        }
    });
}

void QRVMutableDictionary::removeObjectForKey(const std::string& key) {
    queue_->async([this, key] { objects_.erase(key); });
}

void QRVMutableDictionary::removeAllObjects() {
    queue_->async([this] { objects_.clear(); });
}

ns::Dictionary QRVMutableDictionary::dictionary() const {
    ns::Dictionary copy;
    queue_->sync([&] { copy = objects_; });
    return copy;
}

size_t QRVMutableDictionary::count() const {
    size_t n = 0;
    queue_->sync([&] { n = objects_.size(); });
    return n;
}
