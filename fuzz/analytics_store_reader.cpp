// The analytics store's stored rows as the engine reads them back: a raw
// event's data column (the event without its name), a queued bundle's data
// column (a gzip stream of the bundle's encoding) and a raw-event metadata
// row, through the store's readers over a real SQLite file (one database for
// the run, its tables emptied before each input), and the readers below
// them on the bytes themselves (QRVAReadStoredEvent, QRVAWireBundle).
//
// Input: the first byte picks the row: 0 a raw event's data, 1 a bundle
// whose bytes the target compresses first, 2 a queue row's data as it is
// (the compressed stream itself), 3 a metadata row; the rest is the column.
//
// Invariants: a raw event that reads, stored again as the engine stores
// events, reads back as the same event; a bundle kept as its bytes decodes,
// encodes to those very bytes and keeps the ids the walk found; a bundle
// taken from the queue reads as its record.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>

#include "analytics/QRVADatabase.h"
#include "analytics/QRVAMonitor.h"
#include "analytics/QRVAPersistedConfig.h"
#include "analytics/QRVAStoredEvent.h"
#include "analytics/QRVAWireBundle.h"
#include "core/QRVLogger.h"
#include "platform/no_destructor.h"
#include "platform/sandbox.h"
#include "platform/system_log.h"
#include "platform/toolbox.h"
#include "require.h"
#include "scratch_dir.h"

namespace {

namespace F = QRVAPBField;

constexpr int64_t kFingerprint = 7;

// A fuzzer feeds malformed input, and the readers say so: the decoders on
// standard output, the analytics monitor on the system log, a line or more
// for nearly every input, which would be most of a run's time and hundreds of
// megabytes of log. Both go quiet once, before the first input; a broken
// invariant and the sanitizers still report on standard error.
void silenceReaders() {
    QRVSetLoggerLevel(QRVLoggerLevelError);
    ns::SystemLog::setFilterLevel(ns::SystemLog::kCritical);
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
}

QRVADatabase& database() {
    static const ns::NoDestructor<std::shared_ptr<QRVADatabase>> shared([] {
        ns::Sandbox::setCurrent(ns::Sandbox::open(scratchDir()));
        silenceReaders();
        auto opened = QRVADatabase::initWithDatabaseName(kQRVADatabaseFileName, QRVAPersistedConfig::sharedInstance());
        if (!opened) std::abort();
        return opened;
    }());
    return **shared;
}

std::optional<ns::Data> encoded(const QRVAEvent& event) { return event.protoEvent()->protoBuffer(); }

// Every raw event row of the fingerprint, as the bundler reads them.
std::vector<QRVARawEventData> rawEvents(QRVADatabase& db) {
    ns::ErrorRef error;
    auto all = [](const QRVASqliteRow&, const std::optional<QRVARawEventData>&, const ns::ErrorRef&) { return true; };
    return db.rawEventsWithMetadataFingerprint(kFingerprint, &error, all).value_or(std::vector<QRVARawEventData>{});
}

void checkRawEvent(QRVADatabase& db, const ns::Data& bytes) {
    ns::ErrorRef error;
    const auto stored = QRVAReadStoredEvent(&bytes, &error);
    require(stored.has_value() != bool(error));  // an answer and an error, or neither
    require(db.sqliteStore()->upsertRecord({{"name", "fuzz"},
                                            {"timestamp", 1700000000.0},
                                            {"metadata_fingerprint", kFingerprint},
                                            {"data", bytes},
                                            {"is_realtime", 0}},
                                           "raw_events", &error));
    const auto read = rawEvents(db);
    if (read.empty()) return;
    require(read.size() == 1 && stored);  // the store read an event QRVAReadStoredEvent refused
    const QRVAEvent& event = read.front().rawEvent();
    require(db.sqliteStore()->executeSQL("DELETE FROM raw_events", &error));
    require(db.insertRawEvent(event, kFingerprint, false, &error));
    const auto again = rawEvents(db);
    require(again.size() == 1);  // an event the store wrote did not read back
    require(encoded(again.front().rawEvent()) == encoded(event));  // the event changed once stored again
}

void checkWireBundle(const ns::Data& bytes) {
    ns::Data copy = bytes;
    const auto wire = QRVAWireBundle::of(std::move(copy));
    if (!wire) return;
    const auto bundle = QRVAPBMeasurementBundle::initWithBuffer(wire->bytes);
    require(bundle != nullptr);  // the walk took bytes the decoder refuses
    require(bundle->protoBuffer() == wire->bytes);  // the bytes are not the encoder's own
    require(NANOGetString(bundle, F::MeasurementBundle::app_id).value_or("") == wire->appID);
    require(NANOGetString(bundle, F::MeasurementBundle::resettable_device_id).value_or("") ==
            wire->resettableDeviceID);
    require(NANOGetString(bundle, F::MeasurementBundle::vendor_device_id).value_or("") == wire->vendorDeviceID);
    ns::Data batch;
    wire->appendStamped(3, 1700000000000, batch);
    const auto stamped = QRVAPBMeasurementBatch::initWithBuffer(batch);
    require(stamped != nullptr);  // a stamped bundle does not decode as a batch
}

void checkQueue(QRVADatabase& db, const ns::Data& column) {
    ns::ErrorRef error;
    require(db.sqliteStore()->upsertRecord(
        {{"bundle_end_timestamp", 1700000000.0}, {"data", column}, {"is_realtime", 0}}, "queue", &error));
    const auto bundles = db.queryBundlesWithCountLimit(10, 1 << 30, &error);
    require(bundles.has_value());
    for (const auto& queued : *bundles) {
        require(queued.record() != nullptr);  // a bundle taken from the queue has no record
        queued.appID();
    }
}

void checkMetadata(QRVADatabase& db, const ns::Data& column) {
    ns::ErrorRef error;
    require(db.sqliteStore()->upsertRecord({{"metadata_fingerprint", kFingerprint}, {"metadata", column}},
                                           "raw_events_metadata", &error));
    if (auto metadata = db.queryRawEventsMetadataWithFingerprint(kFingerprint, &error)) {
        require(metadata->protoBuffer().has_value());  // read metadata does not encode
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    QRVADatabase& db = database();
    ns::ErrorRef error;
    for (const char* table : {"raw_events", "queue", "raw_events_metadata"}) {
        require(db.sqliteStore()->executeSQL(std::string("DELETE FROM ") + table, &error));
    }
    const ns::Data rest(data + 1, data + size);
    switch (data[0] % 4) {
        case 0: checkRawEvent(db, rest); break;
        case 1: {
            checkWireBundle(rest);
            ns::Data compressed = htk_dataByGzippingData(rest, &error);
            if (!compressed.empty()) checkQueue(db, compressed);
            break;
        }
        case 2: checkQueue(db, rest); break;
        default: checkMetadata(db, rest); break;
    }
    return 0;
}
