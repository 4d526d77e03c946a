#pragma once
// Doubles of the platform services the analytics client reaches only by
// runtime class name, which this platform does not have: the
// advertising-identifier manager ("ASIdentifierManager") and the search-ad
// attribution client ("ADClient"). Neither is there until a test program
// installs it. The client looks each up once per process, so a program
// installs the double before its first test runs (from a static
// initializer) and each test sets the state behind it; the test sets it on
// the main thread before the work that reads it is queued.

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/block_object.h"
#include "platform/error.h"
#include "platform/runtime.h"
#include "platform/value.h"

namespace analyticstest {

// MARK: - Advertising identifier

// Answers what the test sets and counts the reads.
struct Advertising {
    std::string identifier;  // "" answers nothing
    bool trackingEnabled = true;
    int reads = 0;
};
inline Advertising advertising;

struct AdvertisingManager : ns::Object {
    std::string className() const override { return "ASIdentifierManager"; }
};

inline void installAdvertisingManager() {
    using Args = const std::vector<ns::Value>&;
    auto& managerClass = ns::Runtime::registerClass("ASIdentifierManager");
    managerClass.addClassMethod("sharedManager", [](ns::Object*, Args) {
        static auto* manager = new std::shared_ptr<AdvertisingManager>(std::make_shared<AdvertisingManager>());
        return ns::Value(*manager);
    });
    managerClass.replaceInstanceMethod("advertisingIdentifier", [](ns::Object*, Args) {
        ++advertising.reads;
        return advertising.identifier.empty() ? ns::Value() : ns::Value(advertising.identifier);
    });
    managerClass.replaceInstanceMethod("isAdvertisingTrackingEnabled",
                                       [](ns::Object*, Args) { return ns::Value(advertising.trackingEnabled); });
}

// MARK: - Search-ad attribution

enum class AttributionAnswer { kAttributed, kNotAttributed, kPlaceholder, kError, kNoDetails };
// The client's operations, newest first.
inline constexpr const char* kAttributionSelectors[] = {
    "requestAttributionDetailsWithBlock:", "lookupAdConversionDetails:",
    "determineAppInstallationAttributionWithCompletionHandler:"};
inline constexpr const char* kAttributedCampaign = "Garden chairs";
inline constexpr const char* kAttributedKeyword = "teak bench";

// What the client answers, through which one operation, and how often it
// was asked. Not present: its shared client is nil, as without the
// framework. The answer comes before the operation returns.
struct AttributionClient {
    bool present = false;
    AttributionAnswer answer = AttributionAnswer::kAttributed;
    size_t operation = 0;  // in kAttributionSelectors
    bool answersOnAnotherThread = false;
    int calls = 0;
};
inline AttributionClient attribution;

struct AttributionClientObject : ns::Object {
    std::string className() const override { return "ADClient"; }
};

// The completion's arguments for the answer and the operation.
inline std::vector<ns::Value> attributionCompletionArguments() {
    using enum AttributionAnswer;
    const bool attributed = attribution.answer == kAttributed, placeholder = attribution.answer == kPlaceholder;
    if (attribution.operation == 1) {
        return {ns::Date{1'600'000'000.0}, attributed ? ns::Value(ns::Date{1'599'999'000.0}) : ns::Value()};
    }
    if (attribution.operation == 2) return {attributed};
    if (attribution.answer == kNoDetails) return {ns::Value(), ns::Value()};
    if (attribution.answer == kError) {
        return {ns::Value(), ns::Value(std::const_pointer_cast<ns::Error>(ns::Error::make("ADClientError", 0, "")))};
    }
    ns::Dictionary details{{"iad-attribution", attributed || placeholder},
                           {"iad-campaign-id", placeholder ? "1234567890" : "15292426"},
                           {"iad-campaign-name", placeholder ? "CampaignName" : kAttributedCampaign},
                           {"iad-keyword", kAttributedKeyword}};
    return {ns::Dictionary{{"Version3.1", details}}, ns::Value()};
}

// Sets what the client answers from now on: the class answers only the
// operation the state names.
inline void useAttributionClient(const AttributionClient& client) {
    using Args = const std::vector<ns::Value>&;
    attribution = client;
    auto& clientClass = ns::Runtime::registerClass("ADClient");
    clientClass.addClassMethod("sharedClient", [](ns::Object*, Args) {
        static auto* shared = new std::shared_ptr<AttributionClientObject>(std::make_shared<AttributionClientObject>());
        return attribution.present ? ns::Value(*shared) : ns::Value();
    });
    for (const char* selector : kAttributionSelectors) clientClass.removeInstanceMethod(selector);
    clientClass.replaceInstanceMethod(kAttributionSelectors[attribution.operation], [](ns::Object*, Args args) {
        ++attribution.calls;
        auto answer = [block = args.at(0)] { ns::BlockObject::call(block, attributionCompletionArguments()); };
        attribution.answersOnAnotherThread ? std::thread(answer).join() : answer();
        return ns::Value();
    });
}

}  // namespace analyticstest
