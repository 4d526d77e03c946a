#pragma once
// A dictionary confined to its own serial queue: writes apply asynchronously
// in call order, reads wait on the queue, so a read from any thread sees
// every write made before it.

#include <string>

#include "platform/dispatch.h"
#include "platform/value.h"

class QRVMutableDictionary {
public:
    QRVMutableDictionary();
    // Waits for pending writes, which refer to this object.
    ~QRVMutableDictionary();
    QRVMutableDictionary(const QRVMutableDictionary&) = delete;
    QRVMutableDictionary& operator=(const QRVMutableDictionary&) = delete;

    ns::Value objectForKey(const std::string& key) const;
    ns::Value operator[](const std::string& key) const { return objectForKey(key); }

    // A null value removes the key, as a nil object would.
    void setObject(ns::Value object, const std::string& key);
    void removeObjectForKey(const std::string& key);
    void removeAllObjects();

    // An immutable copy of the contents.
    ns::Dictionary dictionary() const;
    size_t count() const;

private:
    ns::DispatchQueuePtr queue_;
    ns::Dictionary objects_;  // only touched on queue_
};
