#pragma once
// NSThread stand-in: a named thread whose body is the object's main(). The
// thread keeps its object alive while it runs. Its run loop is
// ns::RunLoop::current() inside main().

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

namespace ns {

class Thread : public std::enable_shared_from_this<Thread> {
public:
    Thread() = default;
    virtual ~Thread() = default;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // The name shows in debuggers as far as the system allows (15 bytes).
    void setName(std::string name);
    std::string name() const;

    // Starts main() on a new thread. Starting twice raises
    // NSInternalInconsistencyException.
    void start();
    bool isExecuting() const { return executing_.load(); }
    bool isFinished() const { return finished_.load(); }

    // The ns::Thread running the calling code, or nullptr.
    static std::shared_ptr<Thread> current();

protected:
    // The thread's body; the default does nothing.
    virtual void main() {}

private:
    mutable std::mutex mutex_;
    std::string name_;
    std::atomic<bool> started_{false};
    std::atomic<bool> executing_{false};
    std::atomic<bool> finished_{false};
};

}  // namespace ns
