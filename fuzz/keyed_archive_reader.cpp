// Keyed archives as the SDK reads them back from storage: any bytes through
// the unarchiver, then as each record that is decoded from one: the
// messaging pending-topics list (user defaults) and the older database
// cache layout's pending writes (FPendingPut, FPendingPutPriority,
// FPendingUpdate rows).
//
// Invariants: an archive that reads names its class and archives again into
// one that reads the same (nil members aside, which the archiver leaves
// out); a refusal is a read-corrupt error; a topics list that reads
// archives again into the same batches; a legacy write keeps the row's id.
//
// Input: the bytes of the archive.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "core/QRVLogger.h"
#include "database/cache/FLevelDBStorageEngine.h"
#include "messaging/QRVMessagingPendingTopicsList.h"
#include "platform/keyed_archive.h"
#include "require.h"
#include "same_value.h"

namespace {

void checkUnarchiver(const ns::Data& bytes) {
    ns::ErrorRef error;
    const auto root = ns::keyed_archive::unarchiveRoot(bytes, &error);
    if (!root) {
        require(error && error->code() == ns::keyed_archive::kCoderReadCorruptError);
        return;
    }
    ns::ErrorRef writeError;
    const ns::Data again = ns::keyed_archive::archiveRoot(root->className, root->members, &writeError);
    require(!again.empty() && !writeError);  // what was read has no archived form
    const auto reread = ns::keyed_archive::unarchiveRoot(again);
    require(reread && reread->className == root->className);  // our own archive did not read
    ns::Dictionary kept;
    for (const auto& [key, member] : root->members) {
        if (!member.isNull()) kept.emplace(key, member);
    }
    if (!sameValue(ns::Value(kept), ns::Value(reread->members))) {
        std::fprintf(stderr, "read:\n%s\nwritten and read again:\n%s\n", ns::Value(kept).description().c_str(),
                     ns::Value(reread->members).description().c_str());
        require(sameValue(ns::Value(kept), ns::Value(reread->members)));
    }
}

void checkTopicsList(const ns::Data& bytes) {
    const auto list = QRVMessagingPendingTopicsList::unarchive(bytes);
    if (!list) return;
    const auto again = QRVMessagingPendingTopicsList::unarchive(list->archive());
    require(again && again->batchSummary() == list->batchSummary());  // the batches changed once archived
}

void checkLegacyWrite(const ns::Data& bytes) {
    const std::string_view row(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    const FWriteRecordPtr write = FLevelDBStorageEngine::legacyWriteRecord("42", row);
    if (!write) return;
    require(write->writeId() == 42 && write->isOverwrite() != write->isMerge());
    require(!write->isOverwrite() || write->overwrite() != nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The cache's warnings about rows it drops are built but not written.
    static const bool quiet = (QRVSetLoggerLevel(QRVLoggerLevelError), true);
    (void)quiet;
    const ns::Data bytes(data, data + size);
    checkUnarchiver(bytes);
    checkTopicsList(bytes);
    checkLegacyWrite(bytes);
    return 0;
}
