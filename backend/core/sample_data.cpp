#include "backend/core/sample_data.h"

#include <chrono>
#include <stdexcept>
#include <system_error>

#include "backend/core/http_util.h"

namespace backend {

namespace fs = std::filesystem;

bool seedDataDir(const fs::path& dataDir, const fs::path& sampleDir) {
    if (fs::exists(dataDir / kSeedMarker)) return false;

    std::error_code ec;
    if (!fs::is_directory(sampleDir, ec)) {
        throw std::runtime_error("sample data folder " + sampleDir.string() + " does not exist");
    }
    fs::recursive_directory_iterator it(sampleDir, ec), end;
    if (ec) throw std::runtime_error("cannot read " + sampleDir.string() + ": " + ec.message());
    for (; it != end; it.increment(ec)) {
        if (ec) throw std::runtime_error("cannot read " + sampleDir.string() + ": " + ec.message());
        const auto relative = it->path().lexically_relative(sampleDir);
        const auto target = dataDir / relative;
        if (it->is_directory()) {
            fs::create_directories(target, ec);
            if (ec) throw std::runtime_error("cannot create " + target.string() + ": " + ec.message());
            continue;
        }
        if (!it->is_regular_file() || fs::exists(target)) continue;
        auto contents = readFile(it->path());
        if (!contents) throw std::runtime_error("cannot read " + it->path().string());
        writeFileAtomic(target, *contents);
    }
    // Written last: a seeding cut short is completed on the next start.
    auto seconds = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    writeFileAtomic(dataDir / kSeedMarker,
                    nlohmann::json{{"from", sampleDir.string()}, {"time", seconds}}.dump() + "\n");
    return true;
}

}  // namespace backend
