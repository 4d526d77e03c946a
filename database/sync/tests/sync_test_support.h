#pragma once
// Shared by the sync engine's tests: a registration that records what it is
// given, readable descriptions of event lists, a small in-process server
// that answers the sync tree's listens from its own data through the query
// evaluator and pushes changes to the listens it holds (and a tree attached
// to one), and a persistence manager that keeps nothing, for tests to record
// the calls they look at.

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "database/model/FIndexedNode.h"
#include "database/model/FSnapshotUtilities.h"
#include "database/sync/FEvent.h"
#include "database/sync/FPersistenceManager.h"
#include "database/sync/FQueryEvaluator.h"
#include "database/sync/FSyncTree.h"
#include "platform/format.h"
#include "platform/json.h"

namespace synctest {

inline FNodePtr node(const std::string& json) { return FSnapshotUtilities::nodeFrom(ns::json::parse(json)); }
inline FPath path(const std::string& p) { return FPath(p); }

inline const char* typeName(QRVDataEventType type) {
    switch (type) {
        case QRVDataEventTypeChildAdded: return "added";
        case QRVDataEventTypeChildRemoved: return "removed";
        case QRVDataEventTypeChildChanged: return "changed";
        case QRVDataEventTypeChildMoved: return "moved";
        case QRVDataEventTypeValue: return "value";
    }
    return "?";
}

class RecordingRegistration;

// A data event as the recording registration makes it.
class RecordedEvent final : public FEvent {
public:
    RecordedEvent(std::shared_ptr<RecordingRegistration> registration, QRVDataEventType type, FPath path,
                  std::optional<std::string> key, std::optional<std::string> prevName, FNodePtr node)
        : registration(std::move(registration)),
          type(type),
          eventPath(std::move(path)),
          key(std::move(key)),
          prevName(std::move(prevName)),
          node(std::move(node)) {}

    FPath path() const override { return eventPath; }
    void fireEventOnQueue(const ns::DispatchQueuePtr& queue) override;
    bool isCancelEvent() const override { return false; }
    std::string description() const override;

    std::shared_ptr<RecordingRegistration> registration;
    QRVDataEventType type;
    FPath eventPath;
    std::optional<std::string> key;
    std::optional<std::string> prevName;
    FNodePtr node;
};

class RecordingRegistration final : public FEventRegistration {
public:
    static inline uint64_t nextHandle = 1;

    static std::shared_ptr<RecordingRegistration> make(std::string name, std::set<QRVDataEventType> types,
                                                       bool cancellable = true) {
        return std::make_shared<RecordingRegistration>(std::move(name), std::move(types), cancellable, nextHandle++);
    }
    static std::shared_ptr<RecordingRegistration> value(std::string name) {
        return make(std::move(name), {QRVDataEventTypeValue});
    }
    static std::shared_ptr<RecordingRegistration> children(std::string name) {
        return make(std::move(name), {QRVDataEventTypeChildAdded, QRVDataEventTypeChildRemoved,
                                      QRVDataEventTypeChildChanged, QRVDataEventTypeChildMoved});
    }
    // Matches every value and child registration in a removal.
    static std::shared_ptr<RecordingRegistration> matchAll() {
        return std::make_shared<RecordingRegistration>("all", std::set<QRVDataEventType>{}, false,
                                                       kFRegistrationHandleMatchAll);
    }

    RecordingRegistration(std::string name, std::set<QRVDataEventType> types, bool cancellable, uint64_t handle)
        : name(std::move(name)), types_(std::move(types)), cancellable_(cancellable), handle_(handle) {}

    bool responseTo(QRVDataEventType eventType) const override { return types_.count(eventType) > 0; }
    FEventPtr createEventFrom(const FChange& change, const FQuerySpec& query) override {
        auto self = std::static_pointer_cast<RecordingRegistration>(shared_from_this());
        return std::make_shared<RecordedEvent>(self, change.type(), query.path(), change.childKey(), change.prevKey(),
                                               change.indexedNode()->node());
    }
    // Kept as text: holding the events would hold this registration in a cycle.
    void fireEvent(const FEventPtr& event, const ns::DispatchQueuePtr&) override { fired.push_back(event->description()); }
    FEventPtr createCancelEventFromError(const ns::ErrorRef& error, const FPath& path) override {
        if (!cancellable_) return nullptr;
        return std::make_shared<FCancelEvent>(selfRegistration(), error, path);
    }
    bool matches(const FEventRegistration& other) const override {
        return FRegistrationHandlesMatch(handle_, other.handle());
    }
    uint64_t handle() const override { return handle_; }

    std::string name;
    std::vector<std::string> fired;

private:
    std::set<QRVDataEventType> types_;
    bool cancellable_;
    uint64_t handle_;
};

inline void RecordedEvent::fireEventOnQueue(const ns::DispatchQueuePtr& queue) {
    registration->fireEvent(selfEvent(), queue);
}

inline std::string RecordedEvent::description() const {
    std::string text = registration->name + ":" + typeName(type);
    if (key) text += " " + *key;
    if (type != QRVDataEventTypeChildRemoved && type != QRVDataEventTypeValue) {
        text += prevName ? " after " + *prevName : " first";
    }
    return text;
}

// One line per event: "<registration>:<type> <key> after <prev>" for data
// events, "<registration>:cancel <path>" for cancel events.
inline std::vector<std::string> describe(const FEventList& events) {
    std::vector<std::string> lines;
    for (const FEventPtr& event : events) {
        if (event->isCancelEvent()) {
            auto cancel = std::static_pointer_cast<FCancelEvent>(event);
            auto registration = std::static_pointer_cast<RecordingRegistration>(cancel->eventRegistration());
            lines.push_back(registration->name + ":cancel " + cancel->path().toString());
        } else {
            lines.push_back(event->description());
        }
    }
    return lines;
}

// The value carried by the event at `index` (a data event).
inline ns::Value valueOf(const FEventList& events, size_t index) {
    return std::static_pointer_cast<RecordedEvent>(events.at(index))->node->val();
}

// A database server in the test process: it answers listens from its data
// (whole windows, or range merges against a compound hash), completes them
// with "ok" (or a refusal), and pushes window changes to the listens it
// holds when its data change. Answers wait until deliver().
class TestServer {
public:
    struct ListenCall {
        FQuerySpec query;
        std::optional<FQueryTag> tag;
        ns::Dictionary wire;
        std::string simpleHash;
        bool includeCompoundHash = false;
        std::optional<FCompoundHash> compoundHash;
    };
    struct UnlistenCall {
        FQuerySpec query;
        std::optional<FQueryTag> tag;
        ns::Dictionary wire;
    };
    enum class AnswerKind { UpToDate, Overwrite, RangeMerges, Refused };

    explicit TestServer(const std::string& json) : data_(node(json)) {}

    FListenProvider provider() {
        FListenProvider provider;
        provider.setStartListening([this](const FQuerySpec& query, std::optional<FQueryTag> tag,
                                          const FSyncTreeHashPtr& hash, const FListenCompleteBlock& onComplete) {
            ListenCall call{query, tag, query.params()->wireProtocolParams(), hash->simpleHash(),
                            hash->includeCompoundHash(), std::nullopt};
            if (call.includeCompoundHash) call.compoundHash = hash->compoundHash();
            listens.push_back(call);
            pending_.push_back(Pending{call, onComplete});
            return FEventList{};
        });
        provider.setStopListening([this](const FQuerySpec& query, std::optional<FQueryTag> tag) {
            unlistens.push_back(UnlistenCall{query, tag, query.params()->wireProtocolParams()});
            active_.erase(query);
            std::erase_if(pending_, [&](const Pending& p) { return p.call.query == query; });
        });
        return provider;
    }

    void attach(std::shared_ptr<FSyncTree> tree) { tree_ = std::move(tree); }

    // Refuse the listens answered from now on with this status.
    void refuseListens(std::string status) { refusal_ = std::move(status); }

    // Answers every listen waiting for one.
    FEventList deliver() {
        FEventList events;
        while (!pending_.empty()) {
            Pending next = pending_.front();
            pending_.erase(pending_.begin());
            const FQuerySpec& query = next.call.query;
            if (refusal_) {
                answers.push_back(AnswerKind::Refused);
                append(events, next.onComplete(*refusal_));
                continue;
            }
            FQueryEvaluator::ListenAnswer answer = FQueryEvaluator::answerListen(
                data_->getChild(query.path()), *query.params(), next.call.simpleHash, next.call.compoundHash);
            switch (answer.kind) {
                case FQueryEvaluator::ListenAnswer::Kind::UpToDate:
                    answers.push_back(AnswerKind::UpToDate);
                    break;
                case FQueryEvaluator::ListenAnswer::Kind::Overwrite:
                    answers.push_back(AnswerKind::Overwrite);
                    append(events, next.call.tag
                                       ? tree_->applyTaggedQueryOverwriteAtPath(query.path(), answer.window, *next.call.tag)
                                       : tree_->applyServerOverwriteAtPath(query.path(), answer.window));
                    break;
                case FQueryEvaluator::ListenAnswer::Kind::RangeMerges:
                    answers.push_back(AnswerKind::RangeMerges);
                    lastRangeMerges = answer.rangeMerges;
                    append(events, next.call.tag ? tree_->applyTaggedServerRangeMergeAtPath(
                                                       query.path(), answer.rangeMerges, *next.call.tag)
                                                 : tree_->applyServerRangeMergeAtPath(query.path(), answer.rangeMerges));
                    break;
            }
            active_.insert_or_assign(query, Active{next.call.tag, answer.window});
            append(events, next.onComplete("ok"));
        }
        return events;
    }

    // Changes the server's data and pushes the window changes to every
    // listen it holds, as merges (tagged for tagged listens).
    FEventList set(const std::string& at, const std::string& json) {
        data_ = data_->updateChild(path(at), node(json));
        FEventList events;
        for (auto& [query, active] : active_) {
            FNodePtr window = FQueryEvaluator::queryWindow(data_->getChild(query.path()), *query.params());
            FCompoundWrite changes = FQueryEvaluator::windowChanges(active.window, window);
            active.window = window;
            if (changes.isEmpty()) continue;
            append(events, active.tag ? tree_->applyTaggedQueryMergeAtPath(query.path(), changes, *active.tag)
                                      : tree_->applyServerMergeAtPath(query.path(), changes));
        }
        return events;
    }

    const FNodePtr& data() const { return data_; }
    size_t pendingCount() const { return pending_.size(); }
    bool isListening(const FQuerySpec& query) const { return active_.count(query) > 0; }

    std::vector<ListenCall> listens;
    std::vector<UnlistenCall> unlistens;
    std::vector<AnswerKind> answers;
    std::vector<FRangeMerge> lastRangeMerges;

private:
    struct Pending {
        ListenCall call;
        FListenCompleteBlock onComplete;
    };
    struct Active {
        std::optional<FQueryTag> tag;
        FNodePtr window;
    };
    static void append(FEventList& events, FEventList more) {
        events.insert(events.end(), more.begin(), more.end());
    }

    FNodePtr data_;
    std::shared_ptr<FSyncTree> tree_;
    std::vector<Pending> pending_;
    std::unordered_map<FQuerySpec, Active> active_;
    std::optional<std::string> refusal_;
};

// A sync tree whose listens a test server holding `json` answers.
struct ServedTree {
    explicit ServedTree(const std::string& json) : server(json) {
        tree = FSyncTree::make(nullptr, server.provider());
        server.attach(tree);
    }
    TestServer server;
    std::shared_ptr<FSyncTree> tree;
};

// Keeps nothing: every call does nothing, no write is pending and every
// query's server cache is empty and incomplete.
class NullPersistence : public FPersistenceManager {
public:
    void saveUserOverwrite(const FNodePtr&, const FPath&, uint64_t) override {}
    void saveUserMerge(const FCompoundWrite&, const FPath&, uint64_t) override {}
    void removeUserWrite(uint64_t) override {}
    void removeAllUserWrites() override {}
    std::vector<FWriteRecordPtr> userWrites() override { return {}; }
    FCacheNode serverCacheForQuery(const FQuerySpec& query) override {
        return FCacheNode(FIndexedNode::indexedNodeWithNode(FEmptyNode::emptyNode(), query.index()), false, false);
    }
    void updateServerCacheWithNode(const FNodePtr&, const FQuerySpec&) override {}
    void updateServerCacheWithMerge(const FCompoundWrite&, const FPath&) override {}
    void applyUserWrite(const FNodePtr&, const FPath&) override {}
    void applyUserMergeAtPath(const FCompoundWrite&, const FPath&) override {}
    void setQueryComplete(const FQuerySpec&) override {}
    void setQueryActive(const FQuerySpec&) override {}
    void setQueryInactive(const FQuerySpec&) override {}
    void setTrackedQueryKeys(const std::set<std::string>&, const FQuerySpec&) override {}
    void updateTrackedQueryKeysWithAddedKeys(const std::set<std::string>&, const std::set<std::string>&,
                                             const FQuerySpec&) override {}
    void close() override {}
};

}  // namespace synctest
