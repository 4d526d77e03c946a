// The property-list and keyed-archive readers over the shapes that once
// cost them more than linear time or memory, each at 1, 2, 4 and 8 times
// its first size ("scale"). One iteration reads the input and, when it
// reads, writes it back and reads that again, as the fuzz targets do: a
// list in both forms, an archive archived again, a topics list archived by
// the list itself. "ns/byte" should stay flat as the scale grows; "read" is
// 1 for an input accepted and 0 for one refused.
//
//   DeepUID             16 * scale chains of 510 arrays, each ending in a UID
//   SharedString        one 20,000 * scale byte string named 20,000 * scale times
//   SharedArchiveString an archive's NSArray naming one 100 * scale KB string
//                       10,000 * scale times
//   WideArray           one array of 60,000 * scale items
//   TopicsList          a pending-topics archive of 10,000 * scale batches
//   SharedBatches       the same batches named from one shared array (10 KB at 1x)
//   ExpansionBound      one empty dictionary named 131,000 * scale times, at the
//                       bound on the memory a list reads into (131 KB at 1x)
//   SharedEmptyDicts    an array of three references to one empty dictionary,
//                       named 131,000 * scale times (refused past that bound)
//   SharedArchiveArray  an archive's NSArray naming, through one UID, an NSArray
//                       of two numbers 131,000 * scale times (refused: it would
//                       decode into more memory than the archive holds)
//   BucketIntegers      40,000 * scale integers of one hash bucket (djb2 mod 4096)
//   BucketKeys          one dictionary of 15,000 * scale keys of one hash bucket,
//                       binary and XML
//   RepeatedKey         XML: 15,000 * scale keys, then the last of them 15,000 * scale times
//   Entities            XML: one string of 300,000 * scale "&amp;"
//
// Two more pairs time reading apart from writing, over lists of 20 MB:
//   ReadUnshared/WriteUnshared  records whose texts, data, numbers and dates
//                               are each named from one place (only the
//                               keys repeat): the common case, which sharing
//                               must not slow
//   ReadShared/WriteShared      the same records naming one 4 KB picture and
//                               three 60-byte texts from every record
// "memory/byte" is what a read holds allocated, per byte of the list.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <malloc.h>
#include <string>
#include <vector>

#include "messaging/QRVMessagingPendingTopicsList.h"
#include "platform/keyed_archive.h"
#include "platform/plist.h"

namespace {

using ns::Data;
using ns::Value;

// A binary list put together object by object, for shapes no writer makes:
// four-byte offsets and references of the size given.
class BinaryList {
public:
    explicit BinaryList(size_t refSize) : refSize_(refSize) {}

    size_t add(Data object) {
        objects_.push_back(std::move(object));
        return objects_.size() - 1;
    }
    void set(size_t index, Data object) { objects_[index] = std::move(object); }

    static Data marker(uint8_t type, uint64_t count) {
        if (count < 15) return {uint8_t(type << 4 | count)};
        Data d{uint8_t(type << 4 | 0xF), 0x13};
        appendBE(d, count, 8);
        return d;
    }
    Data container(uint8_t type, const std::vector<size_t>& refs, uint64_t count) const {
        Data d = marker(type, count);
        for (size_t r : refs) appendBE(d, r, refSize_);
        return d;
    }
    Data array(const std::vector<size_t>& refs) const { return container(0xA, refs, refs.size()); }
    Data dict(const std::vector<size_t>& keys, const std::vector<size_t>& values) const {
        std::vector<size_t> refs = keys;
        refs.insert(refs.end(), values.begin(), values.end());
        return container(0xD, refs, keys.size());
    }
    static Data text(const std::string& s) {
        Data d = marker(0x5, s.size());
        d.insert(d.end(), s.begin(), s.end());
        return d;
    }
    static Data integer(uint64_t v) {
        Data d{0x13};
        appendBE(d, v, 8);
        return d;
    }
    static Data uid(uint64_t v) {
        Data d{0x83};
        appendBE(d, v, 4);
        return d;
    }

    Data bytes(size_t top) const {
        Data b{'b', 'p', 'l', 'i', 's', 't', '0', '0'};
        std::vector<uint64_t> offsets;
        for (const Data& o : objects_) {
            offsets.push_back(b.size());
            b.insert(b.end(), o.begin(), o.end());
        }
        const uint64_t table = b.size();
        for (uint64_t off : offsets) appendBE(b, off, 4);
        b.insert(b.end(), 6, 0);
        b.push_back(4);
        b.push_back(uint8_t(refSize_));
        appendBE(b, objects_.size(), 8);
        appendBE(b, top, 8);
        appendBE(b, table, 8);
        return b;
    }

    static void appendBE(Data& d, uint64_t v, size_t size) {
        for (size_t i = size; i-- > 0;) d.push_back(uint8_t(v >> (8 * i)));
    }

private:
    size_t refSize_;
    std::vector<Data> objects_;
};

Data bytesOf(const std::string& s) { return Data(s.begin(), s.end()); }

// References wide enough for `objects` objects.
size_t refSizeFor(size_t objects) { return objects <= 0xFF ? 1 : objects <= 0xFFFF ? 2 : 4; }

Data deepUIDs(int scale) {
    BinaryList list(4);
    const size_t top = list.add({});
    std::vector<size_t> chains;
    for (int c = 0; c < 16 * scale; ++c) {
        size_t inner = list.add(BinaryList::uid(uint64_t(c)));
        for (int level = 0; level < 510; ++level) inner = list.add(list.array({inner}));
        chains.push_back(inner);
    }
    list.set(top, list.array(chains));
    return list.bytes(top);
}

Data sharedString(int scale) {
    BinaryList list(1);
    const size_t text = list.add(BinaryList::text(std::string(size_t(20000 * scale), 'x')));
    const size_t top = list.add(list.array(std::vector<size_t>(size_t(20000 * scale), text)));
    return list.bytes(top);
}

// The archive around a root of class `className` whose one member `member`
// refers to $objects[3]; the caller has added $objects[3] and [5] to `list`,
// [4] is the class NSArray.
Data archiveAround(BinaryList& list, const char* className, const char* member, size_t third, size_t fifth) {
    auto text = [&](const char* s) { return list.add(BinaryList::text(s)); };
    auto uid = [&](uint64_t v) { return list.add(BinaryList::uid(v)); };
    const size_t classKey = text("$class"), nameKey = text("$classname");
    const size_t root = list.add(list.dict({classKey, text(member)}, {uid(2), uid(3)}));
    const size_t rootClass = list.add(list.dict({nameKey}, {text(className)}));
    const size_t arrayClass = list.add(list.dict({nameKey}, {text("NSArray")}));
    const size_t objects = list.add(list.array({text("$null"), root, rootClass, third, arrayClass, fifth}));
    const size_t topDict = list.add(list.dict({text("root")}, {uid(1)}));
    const size_t top = list.add(list.dict({text("$archiver"), text("$top"), text("$objects")},
                                          {text("NSKeyedArchiver"), topDict, objects}));
    return list.bytes(top);
}

// An NSArray naming one string `count` times through one shared UID.
Data sharedArchiveString(int scale) {
    BinaryList list(1);
    const size_t text = list.add(BinaryList::text(std::string(size_t(100000 * scale), 'x')));
    const size_t items = list.add(list.array(std::vector<size_t>(size_t(10000 * scale), list.add(BinaryList::uid(5)))));
    const size_t nsArray = list.add(list.dict({list.add(BinaryList::text("$class")), list.add(BinaryList::text("NS.objects"))},
                                              {list.add(BinaryList::uid(4)), items}));
    return archiveAround(list, "Record", "list", nsArray, text);
}

Data wideArray(int scale) {
    BinaryList list(1);
    const size_t item = list.add({0x09});
    return list.bytes(list.add(list.array(std::vector<size_t>(size_t(60000 * scale), item))));
}

Data topicsList(int scale) {
    ns::Array batches;
    for (int i = 0; i < 10000 * scale; ++i) {
        batches.push_back(Value(ns::Dictionary{{"action", Value(i % 2)},
                                               {"topics", Value(ns::Array{Value("/topics/t" + std::to_string(i))})}}));
    }
    return ns::keyed_archive::archiveRoot("QRVMessagingPendingTopicsList",
                                          ns::Dictionary{{"batches", Value(std::move(batches))}});
}

// A pending-topics archive whose batches are a collection kept as it is in
// the table, every batch the one dictionary {"topics": ["a"]}.
Data sharedBatches(int scale) {
    BinaryList list(1);
    const size_t batch = list.add(list.dict({list.add(BinaryList::text("topics"))},
                                            {list.add(list.array({list.add(BinaryList::text("a"))}))}));
    const size_t batches = list.add(list.array(std::vector<size_t>(size_t(10000 * scale), batch)));
    return archiveAround(list, "QRVMessagingPendingTopicsList", "batches", batches, batch);
}

Data expansionBound(int scale) {
    BinaryList list(1);
    const size_t dict = list.add({0xD0});
    return list.bytes(list.add(list.array(std::vector<size_t>(size_t(131000 * scale), dict))));
}

Data sharedEmptyDicts(int scale) {
    BinaryList list(1);
    const size_t dict = list.add({0xD0});
    const size_t three = list.add(list.array({dict, dict, dict}));
    return list.bytes(list.add(list.array(std::vector<size_t>(size_t(131000 * scale), three))));
}

// $objects[3] names $objects[5], an NSArray of two numbers kept in place,
// from every place through one UID.
Data sharedArchiveArray(int scale) {
    BinaryList list(1);
    const size_t classKey = list.add(BinaryList::text("$class")), objectsKey = list.add(BinaryList::text("NS.objects"));
    const size_t arrayClass = list.add(BinaryList::uid(4)), seven = list.add({0x10, 0x07});
    const size_t pair = list.add(list.dict({classKey, objectsKey}, {arrayClass, list.add(list.array({seven, seven}))}));
    const size_t items = list.add(list.array(std::vector<size_t>(size_t(131000 * scale), list.add(BinaryList::uid(5)))));
    const size_t outer = list.add(list.dict({classKey, objectsKey}, {arrayClass, items}));
    return archiveAround(list, "Record", "list", outer, pair);
}

// djb2 as the format library hashes a node's bytes (signed chars), kept to
// its table's 4,096 buckets.
unsigned bucketOf(const uint8_t* bytes, size_t size, unsigned seed) {
    unsigned hash = seed;
    for (size_t i = 0; i < size; ++i) hash = hash * 33 + unsigned(int(int8_t(bytes[i])));
    return hash & 0xFFF;
}

Data bucketIntegers(int scale) {
    BinaryList list(refSizeFor(size_t(40000 * scale) + 1));
    std::vector<size_t> items;
    for (uint64_t i = 1; items.size() < size_t(40000 * scale); ++i) {
        const uint64_t v = i << 16;  // two free low bytes make the bucket
        for (unsigned low = 0; low < 65536; ++low) {
            const uint64_t candidate = v | low;
            uint8_t le[8];
            for (int k = 0; k < 8; ++k) le[k] = uint8_t(candidate >> (8 * k));
            if (bucketOf(le, 8, 5381 + 2) == 0) {
                items.push_back(list.add(BinaryList::integer(candidate)));
                break;
            }
        }
    }
    return list.bytes(list.add(list.array(items)));
}

std::vector<std::string> bucketKeys(size_t count) {
    std::vector<std::string> keys;
    for (size_t i = 0; keys.size() < count; ++i) {
        const std::string prefix = "k" + std::to_string(i);
        bool found = false;
        for (char a = 'a'; a <= 'z' && !found; ++a) {
            for (char b = 'a'; b <= 'z' && !found; ++b) {
                for (char c = 'a'; c <= 'z' && !found; ++c) {
                    const std::string key = prefix + a + b + c;
                    if (bucketOf(reinterpret_cast<const uint8_t*>(key.data()), key.size(), 5381) == 0) {
                        keys.push_back(key);
                        found = true;
                    }
                }
            }
        }
    }
    return keys;
}

Data bucketKeysBinary(int scale) {
    BinaryList list(refSizeFor(size_t(15000 * scale) + 2));
    const size_t item = list.add({0x09});
    std::vector<size_t> keys;
    for (const std::string& key : bucketKeys(size_t(15000 * scale))) keys.push_back(list.add(BinaryList::text(key)));
    return list.bytes(list.add(list.dict(keys, std::vector<size_t>(keys.size(), item))));
}

Data bucketKeysXML(int scale) {
    std::string xml = "<plist><dict>";
    for (const std::string& key : bucketKeys(size_t(15000 * scale))) xml += "<key>" + key + "</key><true/>";
    return bytesOf(xml + "</dict></plist>");
}

Data repeatedKeyXML(int scale) {
    std::string xml = "<plist><dict>";
    for (int i = 0; i < 15000 * scale; ++i) xml += "<key>k" + std::to_string(i) + "</key><true/>";
    const std::string last = "<key>k" + std::to_string(15000 * scale - 1) + "</key><true/>";
    for (int i = 0; i < 15000 * scale; ++i) xml += last;
    return bytesOf(xml + "</dict></plist>");
}

Data entitiesXML(int scale) {
    std::string xml = "<plist><string>";
    for (int i = 0; i < 300000 * scale; ++i) xml += "&amp;";
    return bytesOf(xml + "</string></plist>");
}

// Reads; when the list reads, writes it in both forms and reads each again.
bool listRoundTrip(const Data& bytes) {
    ns::ErrorRef error;
    const Value value = ns::plist::parse(bytes, &error);
    if (error) return false;
    for (ns::plist::Format format : {ns::plist::Format::Binary, ns::plist::Format::XML}) {
        benchmark::DoNotOptimize(ns::plist::parse(ns::plist::serialize(value, format)));
    }
    return true;
}

bool archiveRoundTrip(const Data& bytes) {
    const auto root = ns::keyed_archive::unarchiveRoot(bytes);
    if (!root) return false;
    benchmark::DoNotOptimize(ns::keyed_archive::unarchiveRoot(ns::keyed_archive::archiveRoot(root->className, root->members)));
    return true;
}

bool topicsRoundTrip(const Data& bytes) {
    const auto list = QRVMessagingPendingTopicsList::unarchive(bytes);
    if (!list) return false;
    benchmark::DoNotOptimize(QRVMessagingPendingTopicsList::unarchive(list->archive()));
    return true;
}

void run(benchmark::State& state, const std::function<Data(int)>& make, bool (*roundTrip)(const Data&)) {
    const Data bytes = make(int(state.range(0)));
    bool read = false;
    double seconds = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        read = roundTrip(bytes);
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    state.counters["bytes"] = double(bytes.size());
    state.counters["read"] = read ? 1 : 0;
    state.counters["ns/byte"] = seconds * 1e9 / double(state.iterations()) / double(bytes.size());
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes.size()));
}

#define READER_BENCHMARK(name, make, roundTrip)                                                   \
    void name(benchmark::State& state) { run(state, make, roundTrip); }                           \
    BENCHMARK(name)->ArgName("scale")->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Unit(benchmark::kMillisecond)

READER_BENCHMARK(DeepUID, deepUIDs, listRoundTrip);
READER_BENCHMARK(SharedString, sharedString, listRoundTrip);
READER_BENCHMARK(SharedArchiveString, sharedArchiveString, archiveRoundTrip);
READER_BENCHMARK(WideArray, wideArray, listRoundTrip);
READER_BENCHMARK(TopicsList, topicsList, topicsRoundTrip);
READER_BENCHMARK(SharedBatches, sharedBatches, topicsRoundTrip);
READER_BENCHMARK(ExpansionBound, expansionBound, listRoundTrip);
READER_BENCHMARK(SharedEmptyDicts, sharedEmptyDicts, listRoundTrip);
READER_BENCHMARK(SharedArchiveArray, sharedArchiveArray, archiveRoundTrip);
READER_BENCHMARK(BucketIntegers, bucketIntegers, listRoundTrip);
READER_BENCHMARK(BucketKeysBinary, bucketKeysBinary, listRoundTrip);
READER_BENCHMARK(BucketKeysXML, bucketKeysXML, listRoundTrip);
READER_BENCHMARK(RepeatedKey, repeatedKeyXML, listRoundTrip);
READER_BENCHMARK(Entities, entitiesXML, listRoundTrip);

}  // namespace

namespace {

// What the process holds allocated (the C library's main arena and mapped blocks).
size_t allocatedBytes() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// About `megabytes` MB of records in binary form. Unshared: every text, data,
// number and date differs from every other; shared: each record also names
// one picture and three texts that every record names.
Data records(size_t megabytes, bool shared) {
    const Value picture(Data(4096, 0x5A));
    const Value category(std::string(60, 'c')), brand(std::string(60, 'b')), store(std::string(60, 's'));
    ns::Array items;
    size_t approx = 0;
    for (uint64_t i = 0; approx < megabytes << 20; ++i) {
        ns::Dictionary record{
            {"sku", Value("SKU-" + std::to_string(1000000 + i))},
            {"description", Value("Producto de prueba número " + std::to_string(i) + std::string(8 + i % 150, 'd'))},
            {"quantity", Value(int64_t(i * 7919))},
            {"price", Value(double(i) * 0.01 + 0.005)},
            {"received", Value(ns::Date{1600000000.0 + double(i) * 37.25})},
            {"checksum", Value([i] {
                 Data d(16 + i % 48, 0xC5);
                 for (size_t b = 0; b < 8; ++b) d[b] = uint8_t(i >> (8 * b));
                 return d;
             }())},
        };
        if (shared) {
            record.emplace("picture", picture);
            record.emplace("category", category);
            record.emplace("brand", brand);
            record.emplace("store", store);
        }
        items.push_back(Value(std::move(record)));
        approx += 120 + i % 150 + 16 + i % 48 + (shared ? 12 : 0);
    }
    return ns::plist::serialize(Value(std::move(items)), ns::plist::Format::Binary);
}

void readRecords(benchmark::State& state, bool shared) {
    const Data bytes = records(20, shared);
    size_t held = 0;
    for (auto _ : state) {
        const size_t before = allocatedBytes();
        const Value value = ns::plist::parse(bytes);
        held = allocatedBytes() - before;
        benchmark::DoNotOptimize(value);
    }
    state.counters["bytes"] = double(bytes.size());
    state.counters["memory/byte"] = double(held) / double(bytes.size());
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes.size()));
}

void writeRecords(benchmark::State& state, bool shared) {
    const Data bytes = records(20, shared);
    const Value value = ns::plist::parse(bytes);
    size_t written = 0;
    for (auto _ : state) {
        const Data again = ns::plist::serialize(value, ns::plist::Format::Binary);
        written = again.size();
        benchmark::DoNotOptimize(again);
    }
    state.counters["bytes"] = double(bytes.size());
    state.counters["written/read"] = double(written) / double(bytes.size());
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes.size()));
}

void ReadUnshared(benchmark::State& state) { readRecords(state, false); }
void WriteUnshared(benchmark::State& state) { writeRecords(state, false); }
void ReadShared(benchmark::State& state) { readRecords(state, true); }
void WriteShared(benchmark::State& state) { writeRecords(state, true); }
BENCHMARK(ReadUnshared)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(WriteUnshared)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(ReadShared)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(WriteShared)->Unit(benchmark::kMillisecond)->MinTime(2);

}  // namespace

BENCHMARK_MAIN();
