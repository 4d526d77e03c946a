#include "platform/storekit.h"

#include <gtest/gtest.h>

#include "platform/runloop.h"

namespace {

using State = ns::SKPaymentTransactionState;

struct Recorder : ns::SKPaymentTransactionObserver, ns::SKProductsRequestDelegate {
    std::vector<ns::SKPaymentTransactionPtr> transactions;
    std::optional<ns::SKProductsResponse> response;
    ns::ErrorRef error;
    int answers = 0;
    void paymentQueueUpdatedTransactions(const std::shared_ptr<ns::SKPaymentQueue>&,
                                         const ns::SKPaymentTransactions& update) override {
        transactions.insert(transactions.end(), update.begin(), update.end());
    }
    void productsRequestDidReceiveResponse(const std::shared_ptr<ns::SKProductsRequest>&,
                                           const ns::SKProductsResponse& answer) override {
        response = answer;
        ++answers;
    }
    void requestDidFailWithError(const std::shared_ptr<ns::SKProductsRequest>&, const ns::ErrorRef& e) override {
        error = e;
        ++answers;
    }
};

class StoreKitTest : public ::testing::Test {
protected:
    void SetUp() override {
        ns::SKProductsRequest::registerProduct(
            ns::SKProduct::make("coffee", *ns::DecimalNumber::fromString("0.99"), "de_DE", "Coffee"));
    }
    void TearDown() override {
        ns::SKProductsRequest::removeAllProducts();
        ns::SKProductsRequest::setStoreError(nullptr);
    }
    static bool pumpUntil(const std::function<bool()>& done) { return ns::RunLoop::main().runUntil(done, 20); }
};

TEST_F(StoreKitTest, APaymentIsPurchasedForListedProductsAndFailsForOthers) {
    auto recorder = std::make_shared<Recorder>();
    auto queue = ns::SKPaymentQueue::defaultQueue();
    queue->addTransactionObserver(recorder);
    queue->addTransactionObserver(recorder);
    EXPECT_EQ(queue->observerCount(), 1u);
    queue->addPayment(ns::SKPayment("coffee", 2));
    queue->addPayment(ns::SKPayment("unlisted"));
    ASSERT_TRUE(pumpUntil([&] { return recorder->transactions.size() == 4; }));
    const auto& t = recorder->transactions;
    EXPECT_EQ(t[0]->transactionState(), State::Purchasing);
    EXPECT_EQ(t[1]->transactionState(), State::Purchased);
    EXPECT_EQ(t[1]->payment().quantity(), 2);
    ASSERT_TRUE(t[1]->transactionIdentifier());
    EXPECT_EQ(t[1]->transactionIdentifier()->size(), 16u);
    EXPECT_EQ(t[3]->transactionState(), State::Failed);
    ASSERT_TRUE(t[3]->error());
    EXPECT_EQ(t[3]->error()->code(), ns::kSKErrorStoreProductNotAvailable);
    EXPECT_FALSE(t[3]->transactionIdentifier());

    queue->removeTransactionObserver(recorder.get());
    EXPECT_EQ(queue->observerCount(), 0u);
    queue->addPayment(ns::SKPayment("coffee"));
    bool after = false;
    ns::DispatchQueue::main()->async([&] { after = true; });
    ASSERT_TRUE(pumpUntil([&] { return after; }));
    EXPECT_EQ(recorder->transactions.size(), 4u);
}

TEST_F(StoreKitTest, ProductRequestsAnswerTheCatalogueOrTheStoreError) {
    EXPECT_EQ(ns::SKProductsRequest::initWithProductIdentifiers({}), nullptr);
    auto recorder = std::make_shared<Recorder>();
    auto request = ns::SKProductsRequest::initWithProductIdentifiers({"coffee", "tea"});
    request->setDelegate(recorder);
    request->start();
    request.reset();  // the request keeps itself until it has answered
    ASSERT_TRUE(pumpUntil([&] { return recorder->answers == 1; }));
    ASSERT_EQ(recorder->response->products.size(), 1u);
    const auto& coffee = *recorder->response->products[0];
    EXPECT_EQ(coffee.price().description(), "0.99");
    EXPECT_EQ(coffee.localizedTitle(), "Coffee");
    EXPECT_EQ(recorder->response->invalidProductIdentifiers, std::vector<std::string>{"tea"});

    ns::SKProductsRequest::setStoreError(ns::Error::make("NSURLErrorDomain", -1009, "offline"));
    request = ns::SKProductsRequest::initWithProductIdentifiers({"coffee"});
    request->setDelegate(recorder);
    request->start();
    ASSERT_TRUE(pumpUntil([&] { return recorder->answers == 2; }));
    ASSERT_TRUE(recorder->error);
    EXPECT_EQ(recorder->error->code(), -1009);
}

TEST(StoreKitPriceLocale, TheCurrencyIsTheKeywordElseTheRegions) {
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"de_DE", "EUR"}, {"en_PA", "PAB"}, {"en_US@currency=EUR", "EUR"}, {"de", std::nullopt}, {"", std::nullopt},
    };
    for (const auto& [identifier, currency] : cases) {
        EXPECT_EQ(ns::PriceLocale(identifier).currencyCode(), currency) << identifier;
    }
}

}  // namespace
