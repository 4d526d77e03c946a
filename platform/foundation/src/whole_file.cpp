#include "platform/whole_file.h"

#include <mutex>

namespace ns {

namespace {

std::mutex storeMutex;
WholeFileStore installedStore;

WholeFileStore store() {
    std::lock_guard lock(storeMutex);
    if (!installedStore.read || !installedStore.write) {
        Exception::raise(kInternalInconsistencyException, "no file system installed for whole-file access");
    }
    return installedStore;
}

}  // namespace

void installWholeFileStore(WholeFileStore store) {
    std::lock_guard lock(storeMutex);
    installedStore = store;
}

std::optional<Data> readWholeFile(const std::string& path, ErrorRef* error) { return store().read(path, error); }

bool writeWholeFile(const std::string& path, const Data& data, ErrorRef* error, int permissions) {
    return store().write(path, data, error, permissions);
}

}  // namespace ns
