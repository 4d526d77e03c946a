// The resume data a stopped download keeps (the fetcher library's opaque
// property list, which storage hands back to continue a download) read back
// into a fetcher, and discarded as a download that will not be resumed
// discards it.
//
// Invariants: resume data that reads gives a fetcher whose request is for the
// URL it names; discarding never removes a file the fetcher did not make
// (this run keeps one beside its own partial file and checks it survives).
//
// Input: the bytes of the resume data.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/plist.h"
#include "platform/session_fetcher.h"
#include "require.h"
#include "scratch_dir.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const ns::Data bytes(data, data + size);
    const std::string keep = scratchDir() + "/keep";
    std::ofstream(keep) << "kept";

    const auto fetcher = HTKSessionFetcher::fetcherWithDownloadResumeData(bytes);
    require(fetcher != nullptr);
    const ns::Value plist = ns::plist::parse(bytes);
    if (const std::string* url = plist["url"].stringOrNull()) {
        require(fetcher->request().URL() == *url);  // the fetcher asks for another URL
    }
    // Only files under the run's folder may be named for removal: anything
    // else the input names is left alone by the target itself.
    const std::string* partial = plist["partialPath"].stringOrNull();
    if (!partial || (partial->rfind(scratchDir() + "/", 0) == 0 && partial->find("..") == std::string::npos)) {
        HTKSessionFetcher::discardDownloadResumeData(bytes);
        require(std::filesystem::exists(keep));  // a file the fetcher did not make was removed
    }
    return 0;
}
