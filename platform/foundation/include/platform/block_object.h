#pragma once
// A block as an object, so completion handlers can travel inside a Value
// through the runtime's method table (delegate callbacks such as
// "application:didReceiveRemoteNotification:fetchCompletionHandler:" take
// one as their last argument, and a proxy that exchanges the method must be
// able to pass it on or call it).
//
// Calling it runs the function on the calling thread; a BlockObject made
// without a function does nothing and answers a null Value.

#include <functional>
#include <memory>
#include <vector>

#include "platform/value.h"

namespace ns {

class BlockObject : public Object {
public:
    using Function = std::function<Value(const std::vector<Value>& args)>;

    explicit BlockObject(Function fn) : fn_(std::move(fn)) {}
    static std::shared_ptr<BlockObject> make(Function fn) { return std::make_shared<BlockObject>(std::move(fn)); }
    // A block whose result is void.
    static std::shared_ptr<BlockObject> makeVoid(std::function<void(const std::vector<Value>&)> fn) {
        return make([fn = std::move(fn)](const std::vector<Value>& args) {
            if (fn) fn(args);
            return Value();
        });
    }

    Value operator()(const std::vector<Value>& args = {}) const { return fn_ ? fn_(args) : Value(); }
    // Calls the block held in `value`, when it holds one.
    static Value call(const Value& value, const std::vector<Value>& args = {}) {
        auto block = value.asObjectOf<BlockObject>();
        return block ? (*block)(args) : Value();
    }

    std::string className() const override { return "NSBlock"; }

private:
    Function fn_;
};

}  // namespace ns
