#pragma once
// NSEnumerator stand-in: objects one at a time until nullopt.

#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

template <class T>
class FEnumerator {
public:
    virtual ~FEnumerator() = default;
    // The next object, or nullopt once the enumeration is over.
    virtual std::optional<T> nextObject() = 0;

    // The objects not yet taken.
    std::vector<T> allObjects() {
        std::vector<T> out;
        while (auto o = nextObject()) out.push_back(std::move(*o));
        return out;
    }
};

template <class T>
using FEnumeratorPtr = std::shared_ptr<FEnumerator<T>>;

// An enumerator over a function that answers the next object.
template <class T>
class FBlockEnumerator : public FEnumerator<T> {
public:
    explicit FBlockEnumerator(std::function<std::optional<T>()> next) : next_(std::move(next)) {}
    std::optional<T> nextObject() override { return next_ ? next_() : std::nullopt; }

private:
    std::function<std::optional<T>()> next_;
};

// Yields the transform's result for each object of the inner enumerator.
template <class In, class Out>
class FTransformedEnumerator : public FEnumerator<Out> {
public:
    // initWithEnumerator:andTransform:
    FTransformedEnumerator(FEnumeratorPtr<In> enumerator, std::function<Out(const In&)> transform)
        : enumerator_(std::move(enumerator)), transform_(std::move(transform)) {}

    std::optional<Out> nextObject() override {
        if (!enumerator_) return std::nullopt;
        auto next = enumerator_->nextObject();
        if (!next) return std::nullopt;
        return transform_(*next);
    }

private:
    FEnumeratorPtr<In> enumerator_;
    std::function<Out(const In&)> transform_;
};
