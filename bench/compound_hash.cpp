// The compound hash of a 1,000,000-leaf tree (200,000 products of 5
// fields), against OpenSSL SHA-1 over one buffer as long as all the range
// texts together. Target: ratio at most 3.
#include <benchmark/benchmark.h>
#include <openssl/sha.h>

#include <chrono>
#include <functional>

#include "database/sync/FCompoundHash.h"

namespace {

FNodePtr sampleTree(int products) {
    std::vector<FChildrenDictionary::Entry> entries;
    for (int i = 0; i < products; ++i) {
        std::vector<FChildrenDictionary::Entry> fields = {
            {"Descripcion", FLeafNode::make(ns::Value("Producto " + std::to_string(i)))},
            {"Existencia", FLeafNode::make(ns::Value(int64_t(i % 13)))},
            {"Oferta", FLeafNode::make(ns::Value(i % 3 == 0))},
            {"Pasillo", FLeafNode::make(ns::Value("P" + std::to_string(i % 40)))},
            {"Precio", FLeafNode::make(ns::Value(double(i % 97) + 0.25))},
        };
        entries.emplace_back(std::to_string(7450000000 + i),
                             FChildrenNode::make(FChildrenDictionary::fromSortedEntries(std::move(fields))));
    }
    return FChildrenNode::make(FChildrenDictionary::fromEntries(std::move(entries)));
}

double secondsOf(const std::function<void()>& fn) {
    auto start = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void CompoundHash1MLeaves(benchmark::State& state) {
    FNodePtr tree = sampleTree(int(state.range(0)));
    // The length of all range texts: the size strategy's own answer, with
    // each range's length taken when it closes (plus its closing brackets).
    size_t textLength = 0;
    size_t openLength = 0;
    FCompoundHashSplitStrategy sizeStrategy = FCompoundHash::simpleSizeSplitStrategyForNode(tree);
    FCompoundHash measured = FCompoundHash::fromNode(tree, [&](const FCompoundHashBuilder& builder) {
        bool split = sizeStrategy(builder);
        openLength = builder.currentHashLength();
        if (split) {
            textLength += openLength + size_t(builder.currentPathDepth()) + 1;
            openLength = 0;
        }
        return split;
    });
    textLength += openLength;
    std::string buffer(textLength, 'x');
    unsigned char digest[SHA_DIGEST_LENGTH];

    double subject = 0, baseline = 0;
    for (auto _ : state) {
        subject += secondsOf([&] { benchmark::DoNotOptimize(FCompoundHash::fromNode(tree)); });
        baseline += secondsOf([&] {
            SHA1(reinterpret_cast<const unsigned char*>(buffer.data()), buffer.size(), digest);
            benchmark::DoNotOptimize(digest);
        });
    }
    state.counters["ratio"] = subject / baseline;
    state.counters["ranges"] = double(measured.posts().size());
    state.counters["text_MB"] = double(textLength) / 1e6;
}
BENCHMARK(CompoundHash1MLeaves)->ArgName("products")->Arg(200000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
