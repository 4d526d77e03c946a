// Runs a fuzz target once over every input of the files and folders given,
// as libFuzzer replays a corpus. A test build does this for each target's
// seeds as a test (scripts/test's sanitized tree, built by clang, and the
// Release tree, built by GCC), so every target builds and keeps its
// invariants on each test run without a libFuzzer build; scripts/fuzz still
// fuzzes for real. Like libFuzzer, the replay speaks on standard error only:
// a target may silence standard output.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    std::vector<std::filesystem::path> inputs;
    for (int i = 1; i < argc; ++i) {
        std::error_code ec;
        if (std::filesystem::is_directory(argv[i], ec)) {
            for (const auto& entry : std::filesystem::recursive_directory_iterator(argv[i])) {
                if (entry.is_regular_file()) inputs.push_back(entry.path());
            }
        } else {
            inputs.emplace_back(argv[i]);
        }
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "usage: %s FILE-OR-FOLDER... (no input found)\n", argv[0]);
        return 2;
    }
    std::sort(inputs.begin(), inputs.end());
    for (const auto& path : inputs) {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "cannot read %s\n", path.c_str());
            return 2;
        }
        const std::vector<char> read((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // As libFuzzer does, the target gets a heap block of exactly the
        // input's size (never null: new[] of no bytes still gives a block),
        // so that a read one past the end is seen by AddressSanitizer; a
        // vector's spare capacity would hide it.
        const auto bytes = std::make_unique<uint8_t[]>(read.size());
        std::copy(read.begin(), read.end(), bytes.get());
        LLVMFuzzerTestOneInput(bytes.get(), read.size());
    }
    std::fprintf(stderr, "%zu inputs replayed\n", inputs.size());
    return 0;
}
