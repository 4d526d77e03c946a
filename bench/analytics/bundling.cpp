// The measurement engine's two steps between the store and the network.
//
// Bundling: 1,000 raw events of one metadata row in one clock hour made into
// one queued bundle by the engine's bundleRawEvents() (the rows read and
// decoded, counted and aggregated, the bundle completed, encoded, compressed
// and queued, the rows deleted, in one transaction); against the least any
// bundler does with the same rows: a plain SQLite select of them and their
// delete in one transaction, plain nanopb pb_encode with static callbacks of
// the same bundle, and zlib's gzip of its bytes.
//
// The upload body: 100 queued bundles read back as an upload reads them
// (inflated, and walked, or decoded when their bytes are not the encoder's
// own), stamped, put in one batch, encoded and gzip-compressed as the network
// object compresses a POST body; against zlib inflating the 100 stored blobs
// and deflating their bytes in one piece.
#include <benchmark/benchmark.h>
#include <pb_decode.h>
#include <pb_encode.h>
#include <sqlite3.h>
#include <zlib.h>

#include <array>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "analytics/QRVAAlarm.h"
#include "analytics/QRVADatabase.h"
#include "analytics/QRVARemoteConfig.h"
#include "analytics/QRVASqliteStore.h"
#include "analytics/QRVAUtilities.h"
#include "engine_bench.h"
#include "platform/clock.h"
#include "platform/startup.h"
#include "platform/toolbox.h"

namespace F = QRVAPBField;
using analyticsbench::secondsOf;

namespace {

constexpr int kRawEvents = 1000;
constexpr double kHour = 1'699'999'200;  // a whole clock hour
constexpr const char* kPlainStoreName = "bench-plain.sql";

// 1,000 public events of a few parameters within one clock hour.
std::vector<QRVAEvent> sampleEvents() {
    std::vector<QRVAEvent> events;
    for (int i = 0; i < kRawEvents; ++i) {
        events.push_back(*QRVAEvent::initWithOrigin(
            "app", true, i % 4 ? "view_item" : "add_to_cart", kHour + 1 + i * 3.5, 0,
            QRVAObjectParameters{{"item_id", "7450001" + std::to_string(100000 + i)},
                                 {"item_category", "despensa"},
                                 {"quantity", 1 + i % 7},
                                 {"value", 12.5 + i}}));
    }
    return events;
}

// The engine over its own store and without a network, started, with five
// user properties and none of the start's own events left.
class Engine {
public:
    Engine() {
        auto scheduler = QRVAScheduler::initWithWorkerQueueLabel(kQRVASchedulerWorkerQueueLabel);
        auto alarm = QRVAAlarm::initWithDispatchQueue(scheduler->workerQueue(), kQRVAMeasurementTimerName);
        engine_ = QRVAMeasurement::initWithDatabaseName("bench-engine.sql", QRVAPersistedConfig::sharedInstance(),
                                                        nullptr, scheduler, alarm, QRVOptions::defaultOptions());
        for (int i = 0; i < 5; ++i) {
            engine_->setUserAttribute(QRVAUserAttribute::initWithOrigin(
                "app", "property_" + std::to_string(i), QRVAValue::string("value " + std::to_string(i)), kHour));
        }
        run([&] {
            if (!engine_->database()) return;
            for (const char* table : {"raw_events", "raw_events_metadata", "queue"}) {
                engine_->database()->sqliteStore()->deleteAllRecordsFromTableWithName(table, nullptr);
            }
            auto attributes = engine_->database()->userAttributesIncludingInternal(true, nullptr);
            metadata_ = engine_->createRawEventMetadataWithUserAttributes(
                attributes.value_or(std::vector<QRVAUserAttribute>{}));
            fingerprint_ = QRVADatabase::fingerprintOfMetadata(*metadata_).value_or(0);
        });
    }
    bool ready() const { return metadata_ != nullptr && fingerprint_ != 0; }
    int64_t fingerprint() const { return fingerprint_; }
    void run(const std::function<void()>& work) { analyticsbench::onWorker(*engine_, work); }

    // Remote settings in force as if fetched.
    bool configure(const std::map<std::string, std::string>& settings) {
        auto config = QRVAPBMeasurementConfig::message();
        NANOSetInt64(config, F::MeasurementConfig::version, 1);
        NANOSetString(config, F::MeasurementConfig::app_id, analyticsbench::kAppID);
        ns::Array entries;
        for (const auto& [name, value] : settings) {
            auto setting = QRVAPBSetting::message();
            NANOSetString(setting, F::Setting::name, name);
            NANOSetString(setting, F::Setting::value, value);
            entries.emplace_back(ns::ObjectPtr(setting));
        }
        NANOSetArray(config, F::MeasurementConfig::settings, entries);
        bool updated = false;
        run([&] { updated = engine_->currentRemoteConfig()->updateMeasurementConfig(config); });
        return updated;
    }
    // The events stored as the write path stores them, under one metadata
    // row. Every name was last seen before the hour, as when time goes on
    // between runs (the rows are the same each round).
    bool store(const std::vector<QRVAEvent>& events) {
        bool stored = false;
        run([&] {
            auto& database = *engine_->database();
            const std::string lastSeen = "UPDATE events SET last_fire_timestamp = " + std::to_string(kHour - 600);
            stored = database.sqliteStore()->executeSQL(lastSeen, nullptr) && database.performTransaction([&] {
                if (!database.insertIfNotExistsRawEventMetadata(metadata_, nullptr)) return false;
                for (const auto& event : events) {
                    if (!database.insertRawEvent(event, fingerprint_, false, nullptr)) return false;
                }
                return true;
            });
        });
        return stored;
    }
    // Bundling passes until one makes no bundle, timed on the worker queue:
    // the bundles made.
    int bundle(double& seconds, int passes = 1) {
        int made = 0;
        run([&] { seconds += secondsOf([&] { while (made < passes && engine_->bundleRawEvents()) ++made; }); });
        return made;
    }
    int64_t count(const std::string& table) {
        int64_t rows = -1;
        run([&] { rows = engine_->database()->sqliteStore()->rowCountForTableWithName(table, nullptr).value_or(-1); });
        return rows;
    }
    // The queue's stored (compressed) blobs, oldest first.
    std::vector<ns::Data> queuedBlobs() {
        std::vector<ns::Data> blobs;
        run([&] {
            auto rows = engine_->database()->sqliteStore()->recordsForQuery(
                "SELECT data FROM queue ORDER BY bundle_end_timestamp ASC", {}, nullptr);
            for (const auto& row : rows.value_or(std::vector<QRVASqliteRow>{})) {
                if (QRVARowValue(row, "data").isData()) blobs.push_back(QRVARowValue(row, "data").asData());
            }
        });
        return blobs;
    }
    void emptyQueue() {
        run([&] { engine_->database()->sqliteStore()->deleteAllRecordsFromTableWithName("queue", nullptr); });
    }
    // What an upload makes of the queue before posting, timed on the worker
    // queue: the POST body, and the number of bundles in it.
    ns::Data uploadBody(double& seconds, size_t& bundleCount) {
        ns::Data body;
        run([&] { seconds += secondsOf([&] { body = makeUploadBody(bundleCount); }); });
        return body;
    }

private:
    ns::Data makeUploadBody(size_t& bundleCount) {
        auto& remoteConfig = *engine_->currentRemoteConfig();
        auto bundles = engine_->database()->queryBundlesWithCountLimit(remoteConfig.uploadMaxBundlesLimit(),
                                                                       remoteConfig.uploadMaxSizeLimitBytes(), nullptr);
        if (!bundles) return {};
        const auto nowMillis = static_cast<int64_t>(ns::Clock::nowSeconds() * 1000);
        auto payload = QRVAMeasurement::batchPayload(*bundles, nowMillis);
        if (!payload) return {};
        bundleCount = bundles->size();
        return htk_dataByGzippingData(*payload, nullptr);
    }

    std::shared_ptr<QRVAMeasurement> engine_;
    std::shared_ptr<QRVAPBMeasurementBundle> metadata_;
    int64_t fingerprint_ = 0;
};

// -- zlib alone

// gzip of the bytes into `out`: the compressed length, 0 on failure.
size_t gzip(const uint8_t* bytes, size_t size, std::vector<uint8_t>& out) {
    z_stream zs{};
    if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return 0;
    out.resize(deflateBound(&zs, uLong(size)));
    zs.next_in = const_cast<Bytef*>(bytes);
    zs.avail_in = uInt(size);
    zs.next_out = out.data();
    zs.avail_out = uInt(out.size());
    const bool done = deflate(&zs, Z_FINISH) == Z_STREAM_END;
    const size_t written = zs.total_out;
    deflateEnd(&zs);
    return done ? written : 0;
}

// Inflates one gzip blob into `out` (room for `capacity` bytes): the length.
size_t gunzip(const ns::Data& blob, uint8_t* out, size_t capacity) {
    z_stream zs{};
    if (inflateInit2(&zs, 15 + 32) != Z_OK) return 0;
    zs.next_in = const_cast<Bytef*>(blob.data());
    zs.avail_in = uInt(blob.size());
    zs.next_out = out;
    zs.avail_out = uInt(capacity);
    const bool done = inflate(&zs, Z_FINISH) == Z_STREAM_END;
    const size_t written = zs.total_out;
    inflateEnd(&zs);
    return done ? written : 0;
}

// -- plain nanopb: the bundle held in plain structures, written with static
// callbacks

using Text = std::optional<std::string>;

bool readText(pb_istream_t* stream, const pb_field_t*, void** arg) {
    auto& text = static_cast<Text*>(*arg)->emplace(stream->bytes_left, '\0');
    return pb_read(stream, reinterpret_cast<pb_byte_t*>(text.data()), text.size());
}

bool writeText(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    const auto* text = static_cast<const std::string*>(*arg);
    return pb_encode_tag_for_field(stream, field) &&
           pb_encode_string(stream, reinterpret_cast<const pb_byte_t*>(text->data()), text->size());
}

void toRead(pb_callback_t& callback, Text& text) {
    callback.funcs.decode = readText;
    callback.arg = &text;
}

void toWrite(pb_callback_t& callback, const Text& text) {
    callback.funcs.encode = text ? writeText : nullptr;
    callback.arg = text ? const_cast<std::string*>(&*text) : nullptr;
}

template <class Item>
bool readItem(pb_istream_t* stream, const pb_field_t*, void** arg) {
    return static_cast<std::vector<Item>*>(*arg)->emplace_back().read(stream);
}

template <class Item>
bool writeItems(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    for (const auto& item : *static_cast<const std::vector<Item>*>(*arg)) {
        if (!pb_encode_tag_for_field(stream, field) || !item.write(stream)) return false;
    }
    return true;
}

template <class Item>
void itemsToRead(pb_callback_t& callback, std::vector<Item>& items) {
    callback.funcs.decode = readItem<Item>;
    callback.arg = &items;
}

template <class Item>
void itemsToWrite(pb_callback_t& callback, const std::vector<Item>& items) {
    callback.funcs.encode = writeItems<Item>;
    callback.arg = const_cast<std::vector<Item>*>(&items);
}

struct PlainParam {
    qrvanalytics_EventParam fields = qrvanalytics_EventParam_init_zero;
    Text name, text;

    bool read(pb_istream_t* stream) {
        toRead(fields.name, name);
        toRead(fields.string_value, text);
        return pb_decode(stream, qrvanalytics_EventParam_fields, &fields);
    }
    bool write(pb_ostream_t* stream) const {
        qrvanalytics_EventParam s = fields;
        toWrite(s.name, name);
        toWrite(s.string_value, text);
        return pb_encode_submessage(stream, qrvanalytics_EventParam_fields, &s);
    }
};

struct PlainEvent {
    qrvanalytics_Event fields = qrvanalytics_Event_init_zero;
    Text name;
    std::vector<PlainParam> params;

    bool read(pb_istream_t* stream) {
        toRead(fields.name, name);
        itemsToRead(fields.params, params);
        return pb_decode(stream, qrvanalytics_Event_fields, &fields);
    }
    bool write(pb_ostream_t* stream) const {
        qrvanalytics_Event s = fields;
        toWrite(s.name, name);
        itemsToWrite(s.params, params);
        return pb_encode_submessage(stream, qrvanalytics_Event_fields, &s);
    }
};

struct PlainAttribute {
    qrvanalytics_UserAttribute fields = qrvanalytics_UserAttribute_init_zero;
    Text name, text;

    bool read(pb_istream_t* stream) {
        toRead(fields.name, name);
        toRead(fields.string_value, text);
        return pb_decode(stream, qrvanalytics_UserAttribute_fields, &fields);
    }
    bool write(pb_ostream_t* stream) const {
        qrvanalytics_UserAttribute s = fields;
        toWrite(s.name, name);
        toWrite(s.string_value, text);
        return pb_encode_submessage(stream, qrvanalytics_UserAttribute_fields, &s);
    }
};

using BundleFields = qrvanalytics_MeasurementBundle;
// The bundle's text fields, walked alike when read and when written.
constexpr pb_callback_t BundleFields::* kBundleTexts[] = {
    &BundleFields::platform,         &BundleFields::os_version,
    &BundleFields::device_model,     &BundleFields::user_default_language,
    &BundleFields::app_store,        &BundleFields::app_id,
    &BundleFields::app_version,      &BundleFields::resettable_device_id,
    &BundleFields::app_instance_id,  &BundleFields::monitoring_data,
    &BundleFields::vlp_app_id,       &BundleFields::vendor_device_id,
    &BundleFields::quorvane_instance_id, &BundleFields::reserved_string_34};

// A bundle in plain structures. Read once from the engine's own bundle
// (outside the timing); what is timed is only its write.
struct PlainBundle {
    BundleFields fields = qrvanalytics_MeasurementBundle_init_zero;
    std::array<Text, std::size(kBundleTexts)> texts;
    std::vector<PlainEvent> events;
    std::vector<PlainAttribute> attributes;

    bool read(const ns::Data& bytes) {
        for (size_t i = 0; i < texts.size(); ++i) toRead(fields.*kBundleTexts[i], texts[i]);
        itemsToRead(fields.events, events);
        itemsToRead(fields.user_attributes, attributes);
        pb_istream_t stream = pb_istream_from_buffer(bytes.data(), bytes.size());
        return pb_decode(&stream, qrvanalytics_MeasurementBundle_fields, &fields);
    }
    // Encodes into `out`, sized beforehand: the length, 0 on failure.
    size_t write(std::vector<uint8_t>& out) const {
        BundleFields s = fields;
        for (size_t i = 0; i < texts.size(); ++i) toWrite(s.*kBundleTexts[i], texts[i]);
        itemsToWrite(s.events, events);
        itemsToWrite(s.user_attributes, attributes);
        pb_ostream_t stream = pb_ostream_from_buffer(out.data(), out.size());
        return pb_encode(&stream, qrvanalytics_MeasurementBundle_fields, &s) ? stream.bytes_written : 0;
    }
};

// -- plain SQLite: the raw-event rows in a file laid out by the store

class PlainStore {
public:
    PlainStore(const std::vector<QRVAEvent>& events, int64_t fingerprint) : fingerprint_(fingerprint) {
        QRVADatabase::initWithDatabaseName(kPlainStoreName, nullptr);  // the layout, then closed
        sqlite3_open_v2(QRVAFilePathForDatabaseName(kPlainStoreName).c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr);
        prepare(&insert_,
                "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, is_realtime) "
                "VALUES (?, ?, ?, ?, 0)");
        prepare(&select_,
                "SELECT rowid, name, timestamp, metadata_fingerprint, data, is_realtime FROM raw_events "
                "WHERE metadata_fingerprint = ? ORDER BY rowid ASC LIMIT ?");
        prepare(&delete_, "DELETE FROM raw_events WHERE rowid <= ?");
        for (const auto& event : events) {
            auto proto = event.protoEvent();
            NANOClearField(proto, F::Event::name);
            stored_.push_back({0, event.name(), event.timestamp(), *proto->protoBuffer()});
        }
    }
    ~PlainStore() {
        for (auto* statement : {insert_, select_, delete_}) sqlite3_finalize(statement);
        sqlite3_close(db_);
    }
    bool fill() {
        bool ok = exec("BEGIN EXCLUSIVE TRANSACTION");
        for (const auto& row : stored_) {
            if (!ok) break;
            sqlite3_bind_text(insert_, 1, row.name.data(), int(row.name.size()), SQLITE_STATIC);
            sqlite3_bind_double(insert_, 2, row.timestamp);
            sqlite3_bind_int64(insert_, 3, fingerprint_);
            sqlite3_bind_blob(insert_, 4, row.data.data(), int(row.data.size()), SQLITE_STATIC);
            ok = sqlite3_step(insert_) == SQLITE_DONE;
            sqlite3_reset(insert_);
        }
        return exec(ok ? "COMMIT" : "ROLLBACK") && ok;
    }
    // The run read and deleted in one transaction: the rows read.
    size_t take() {
        taken_.clear();
        bool ok = exec("BEGIN EXCLUSIVE TRANSACTION");
        sqlite3_bind_int64(select_, 1, fingerprint_);
        sqlite3_bind_int(select_, 2, kRawEvents);
        while (ok && sqlite3_step(select_) == SQLITE_ROW) {
            const auto* data = static_cast<const uint8_t*>(sqlite3_column_blob(select_, 4));
            taken_.push_back({sqlite3_column_int64(select_, 0),
                              reinterpret_cast<const char*>(sqlite3_column_text(select_, 1)),
                              sqlite3_column_double(select_, 2),
                              ns::Data(data, data + sqlite3_column_bytes(select_, 4))});
        }
        sqlite3_reset(select_);
        if (ok && !taken_.empty()) {
            sqlite3_bind_int64(delete_, 1, taken_.back().rowID);
            ok = sqlite3_step(delete_) == SQLITE_DONE;
            sqlite3_reset(delete_);
        }
        return exec(ok ? "COMMIT" : "ROLLBACK") && ok ? taken_.size() : 0;
    }

private:
    struct Row {
        int64_t rowID;
        std::string name;
        double timestamp;
        ns::Data data;
    };
    void prepare(sqlite3_stmt** statement, const char* sql) { sqlite3_prepare_v2(db_, sql, -1, statement, nullptr); }
    bool exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

    const int64_t fingerprint_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;
    sqlite3_stmt* select_ = nullptr;
    sqlite3_stmt* delete_ = nullptr;
    std::vector<Row> stored_;
    std::vector<Row> taken_;
};

const std::map<std::string, std::string> kWholeHourInOneBundle{
    {"measurement.upload.max_events_per_bundle", "1000"}, {"measurement.upload.max_batch_size", "10485760"}};

void AnalyticsBundle1000RawEvents(benchmark::State& state) {
    analyticsbench::BenchSandbox sandbox;
    auto clock = ns::VirtualClock::install(kHour + 3660);
    Engine subject;
    const auto events = sampleEvents();
    if (!subject.ready() || !subject.configure(kWholeHourInOneBundle)) {
        state.SkipWithError("the engine did not start");
        return;
    }
    PlainStore plain(events, subject.fingerprint());
    // A first pass does the once-a-day work (the monitoring sample, the
    // stale-data sweep) and makes the bundle the baseline writes.
    double ignored = 0;
    std::vector<ns::Data> blobs;
    if (!subject.store(events) || subject.bundle(ignored) != 1 || (blobs = subject.queuedBlobs()).size() != 1) {
        state.SkipWithError("the engine made no bundle of the run");
        return;
    }
    subject.emptyQueue();
    const ns::Data made = htk_dataByInflatingData(blobs.front(), nullptr);
    PlainBundle bundle;
    std::vector<uint8_t> encoded(made.size()), compressed;
    if (!bundle.read(made) || bundle.events.size() != size_t(kRawEvents) || bundle.write(encoded) != made.size() ||
        encoded != made) {
        state.SkipWithError("the two encoders disagree");
        return;
    }
    double engineSeconds = 0, plainSeconds = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const bool filled = subject.store(events) && plain.fill();
        state.ResumeTiming();
        const int bundles = subject.bundle(engineSeconds);
        size_t taken = 0, zipped = 0;
        plainSeconds += secondsOf([&] {
            taken = plain.take();
            zipped = gzip(encoded.data(), bundle.write(encoded), compressed);
        });
        state.PauseTiming();
        const bool complete = filled && bundles == 1 && subject.count("raw_events") == 0 &&
                              subject.count("queue") == 1 && taken == size_t(kRawEvents) && zipped > 0;
        subject.emptyQueue();
        state.ResumeTiming();
        if (!complete) {
            state.SkipWithError("a bundler lost rows");
            break;
        }
    }
    state.counters["ratio"] = engineSeconds / plainSeconds;
    state.counters["subject_ms"] = engineSeconds * 1000 / double(state.iterations());
    state.counters["baseline_ms"] = plainSeconds * 1000 / double(state.iterations());
    state.counters["bundle_bytes"] = double(made.size());
    state.SetItemsProcessed(int64_t(state.iterations()) * kRawEvents);
}
BENCHMARK(AnalyticsBundle1000RawEvents)->Unit(benchmark::kMillisecond)->Iterations(40);

void AnalyticsUploadBody100Bundles(benchmark::State& state) {
    constexpr size_t kBundles = 100;
    analyticsbench::BenchSandbox sandbox;
    auto clock = ns::VirtualClock::install(kHour + 3660);
    Engine subject;
    double ignored = 0;
    if (!subject.ready() ||
        !subject.configure({{"measurement.upload.max_events_per_bundle", "10"},
                            {"measurement.upload.max_batch_size", "10485760"}}) ||
        !subject.store(sampleEvents()) || subject.bundle(ignored, int(kBundles)) != int(kBundles)) {
        state.SkipWithError("the engine did not make the bundles");
        return;
    }
    const std::vector<ns::Data> blobs = subject.queuedBlobs();
    // Room for each inflated bundle, known beforehand: the baseline only
    // inflates and deflates.
    std::vector<size_t> offsets{0};
    for (const auto& blob : blobs) offsets.push_back(offsets.back() + htk_dataByInflatingData(blob, nullptr).size());
    std::vector<uint8_t> joined(offsets.back()), compressed;
    double engineSeconds = 0, plainSeconds = 0;
    size_t bodyBytes = 0;
    for (auto _ : state) {
        size_t bundleCount = 0;
        const ns::Data body = subject.uploadBody(engineSeconds, bundleCount);
        size_t inflated = 0, zipped = 0;
        plainSeconds += secondsOf([&] {
            for (size_t i = 0; i < blobs.size(); ++i) {
                inflated += gunzip(blobs[i], joined.data() + offsets[i], offsets[i + 1] - offsets[i]);
            }
            zipped = gzip(joined.data(), inflated, compressed);
        });
        bodyBytes = body.size();
        if (bundleCount != kBundles || body.empty() || blobs.size() != kBundles || inflated != joined.size() ||
            zipped == 0) {
            state.SkipWithError("a body lost bundles");
            break;
        }
    }
    state.counters["ratio"] = engineSeconds / plainSeconds;
    state.counters["subject_ms"] = engineSeconds * 1000 / double(state.iterations());
    state.counters["baseline_ms"] = plainSeconds * 1000 / double(state.iterations());
    state.counters["body_bytes"] = double(bodyBytes);
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(kBundles));
}
BENCHMARK(AnalyticsUploadBody100Bundles)->Unit(benchmark::kMillisecond);

}  // namespace

// SDK code that needs a process like the program's: the main thread bound
// (the identity reads the device on the main queue, which the benchmark
// pumps) and the load hooks run.
int main(int argc, char** argv) {
    ns::testing::TempSandbox startupSandbox;
    ns::processStartup(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
