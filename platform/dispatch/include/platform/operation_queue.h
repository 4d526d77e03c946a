#pragma once
// NSOperation / NSOperationQueue stand-ins: operations start in the order
// they were added (once their dependencies have finished), at most
// maxConcurrentOperationCount at a time, on the global dispatch queue of
// the operation queue's quality of service (the main queue for
// OperationQueue::main()).

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch.h"

namespace ns {

class OperationQueue;

class Operation : public std::enable_shared_from_this<Operation> {
public:
    virtual ~Operation();

    // Runs the operation's work. Not called for an operation cancelled
    // before it started; it finishes at once instead.
    virtual void main() = 0;

    // Marks the operation cancelled; a started one sees isCancelled() and
    // may stop early. A cancelled operation no longer waits for its
    // dependencies. Subclasses that override it call this one first.
    virtual void cancel();
    bool isCancelled() const;
    bool isExecuting() const;
    bool isFinished() const;
    // True when every dependency has finished (or the operation is
    // cancelled).
    bool isReady() const;

    // The operation starts only after `op` has finished. Adding a dependency
    // to an operation that has started raises NSInvalidArgumentException, as
    // does depending on itself.
    void addDependency(const std::shared_ptr<Operation>& op);
    void removeDependency(const std::shared_ptr<Operation>& op);
    std::vector<std::shared_ptr<Operation>> dependencies() const;

    // Runs on a background queue after the operation has finished.
    void setCompletionBlock(Block block);
    // Blocks the calling thread until the operation has finished.
    void waitUntilFinished();

    void setName(std::string name);
    std::string name() const;

    // An asynchronous operation (NSOperation's isAsynchronous) is not done
    // when main() returns: it stays executing, and keeps its place within
    // the queue's concurrency limit, until it calls finish().
    virtual bool isAsynchronous() const { return false; }

    struct State;

protected:
    Operation();
    // Ends an asynchronous operation: it becomes finished and its queue
    // moves on. Works once; any thread, also from inside main() or before
    // the operation started (a cancelled one that never runs).
    void finish();

private:
    friend class OperationQueue;
    friend struct OperationAccess;
    std::shared_ptr<State> state_;
};
using OperationPtr = std::shared_ptr<Operation>;

// NSBlockOperation with a single block.
class BlockOperation : public Operation {
public:
    // An empty block raises NSInvalidArgumentException.
    static std::shared_ptr<BlockOperation> make(Block block);
    void main() override;

private:
    struct Passkey {};

public:
    BlockOperation(Passkey, Block block);

private:
    Block block_;
};

class OperationQueue : public std::enable_shared_from_this<OperationQueue> {
public:
    static constexpr long kDefaultMaxConcurrentOperationCount = -1;

    // A queue that starts operations as soon as they are ready, or, when
    // `suspended`, holds everything until setSuspended(false).
    static std::shared_ptr<OperationQueue> make(std::string name = {}, bool suspended = false,
                                                DispatchQueue::QoS qos = DispatchQueue::QoS::Default);
    // Runs its operations one at a time on the main queue.
    static std::shared_ptr<OperationQueue> main();
    // The queue running the calling operation, or nullptr.
    static std::shared_ptr<OperationQueue> current();

    ~OperationQueue();

    // Adding nullptr, an operation already in a queue or a finished one
    // raises NSInvalidArgumentException.
    void addOperation(const OperationPtr& op);
    // Wraps the block in a BlockOperation.
    void addOperation(Block block);
    void addOperations(const std::vector<OperationPtr>& ops, bool waitUntilFinished);

    // -1 (the default): no limit. 0 would run nothing; negative values other
    // than -1 raise NSInvalidArgumentException.
    void setMaxConcurrentOperationCount(long count);
    long maxConcurrentOperationCount() const;

    void setSuspended(bool suspended);
    bool isSuspended() const;

    // Cancels every operation in the queue (those not started finish
    // without running).
    void cancelAllOperations();
    // Blocks until the queue is empty. From an operation of this queue it
    // raises NSInternalInconsistencyException (it could never return).
    void waitUntilAllOperationsAreFinished();
    // Operations added and not yet finished (executing ones included).
    std::size_t operationCount() const;
    std::vector<OperationPtr> operations() const;

    void setName(std::string name);
    std::string name() const;

    struct Impl;

private:
    struct Passkey {};

public:
    OperationQueue(Passkey, std::string name, bool suspended, DispatchQueuePtr target);

private:
    friend struct OperationAccess;
    // Shared with running operations, which finish even if the queue object
    // goes away first.
    std::shared_ptr<Impl> impl_;
};
using OperationQueuePtr = std::shared_ptr<OperationQueue>;

}  // namespace ns
