// dataHash of a fresh 1,000,000-leaf tree against OpenSSL SHA-1 over one
// buffer as long as all the tree's hash texts together (target: ratio at
// most 2.5); and re-hashing after one leaf changes, against SHA-1 over the
// texts that change (the leaf and its ancestors: depth times width), with
// its share of a full hash.
#include <benchmark/benchmark.h>

#include <openssl/evp.h>

#include <malloc.h>

#include <chrono>
#include <functional>
#include <random>

#include "database/model/FNode.h"
#include "sample_tree.h"

namespace {

double secondsOf(const std::function<void()>& fn) {
    auto start = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double sha1Seconds(const std::string& buffer) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    return secondsOf([&] {
        EVP_Digest(buffer.data(), buffer.size(), digest, &len, EVP_sha1(), nullptr);
        benchmark::DoNotOptimize(digest);
    });
}

// Total length of the hash texts of every node.
size_t totalTextLength(const FNodePtr& node) {
    std::string text;
    node->appendHashText(text);
    size_t total = text.size();
    node->enumerateChildren([&](const std::string&, const FNodePtr& child, bool&) { total += totalTextLength(child); });
    return total;
}

void HashFreshTree1MLeaves(benchmark::State& state) {
    double subject = 0, baseline = 0;
    std::string buffer;
    for (auto _ : state) {
        // The previous iteration's tree is gone; let the allocator settle its
        // garbage now rather than inside the timed hash.
        malloc_trim(0);
        FNodePtr tree = modelbench::buildSampleTree();
        subject += secondsOf([&] { benchmark::DoNotOptimize(tree->dataHash()); });
        if (buffer.empty()) buffer.assign(totalTextLength(tree), 'x');
        baseline += sha1Seconds(buffer);
    }
    state.counters["ratio"] = subject / baseline;
    state.counters["hash_text_MB"] = double(buffer.size()) / 1e6;
}
BENCHMARK(HashFreshTree1MLeaves)->Iterations(3)->Unit(benchmark::kMillisecond);

void RehashAfterOneLeafChange(benchmark::State& state) {
    FNodePtr tree = modelbench::buildSampleTree();
    double full = secondsOf([&] { benchmark::DoNotOptimize(tree->dataHash()); });
    std::mt19937 rng(3);
    double subject = 0, baseline = 0;
    int n = 0;
    for (auto _ : state) {
        FPath path(tree->childEnumerator()->allObjects()[rng() % 100].name);
        FNodePtr store = tree->getChild(path);
        path = path.childFromString(store->childEnumerator()->allObjects()[rng() % 100].name);
        path = path.childFromString(modelbench::shortKey('f', int(rng() % 100)));
        tree = tree->updateChild(path, modelbench::leafValue(++n));
        subject += secondsOf([&] { benchmark::DoNotOptimize(tree->dataHash()); });
        // The texts that had to be hashed again: the leaf and its ancestors.
        size_t changed = 0;
        for (size_t depth = 0; depth <= path.length(); ++depth) {
            std::string text;
            FPath prefix(std::vector<std::string>(path.begin(), path.begin() + long(depth)), 0);
            tree->getChild(prefix)->appendHashText(text);
            changed += text.size();
        }
        baseline += sha1Seconds(std::string(changed, 'x'));
    }
    state.counters["ratio"] = subject / baseline;
    state.counters["share_of_full_hash"] = subject / double(state.iterations()) / full;
}
BENCHMARK(RehashAfterOneLeafChange)->Iterations(2000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
