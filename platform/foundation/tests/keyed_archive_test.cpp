#include <gtest/gtest.h>
#include <plist/plist.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "platform/crypto.h"
#include "platform/keyed_archive.h"
#include "platform/plist.h"

namespace {

TEST(KeyedArchiveTest, ARecordRoundTripsWithItsClassAndFoundationMembers) {
    ns::Dictionary members{{"path", ns::Value("/a/b")},
                           {"data", ns::Value(ns::Dictionary{{"n", ns::Value(-3)},
                                                             {"list", ns::Value(ns::Array{ns::Value(true), ns::Value(2.5)})},
                                                             {"s", ns::Value("text")}})},
                           {"priority", ns::Value()}};
    ns::Data bytes = ns::keyed_archive::archiveRoot("FPendingPut", members);
    ASSERT_FALSE(bytes.empty());
    ns::plist::Format format = ns::plist::Format::XML;
    ns::Value archive = ns::plist::parse(bytes, nullptr, &format);
    EXPECT_EQ(format, ns::plist::Format::Binary);
    EXPECT_EQ(archive.asDictionary().at("$archiver").asString(), "NSKeyedArchiver");

    auto object = ns::keyed_archive::unarchiveRoot(bytes);
    ASSERT_TRUE(object);
    EXPECT_EQ(object->className, "FPendingPut");
    EXPECT_EQ(object->members.at("path"), ns::Value("/a/b"));
    EXPECT_EQ(object->members.at("data"), members.at("data"));
    EXPECT_EQ(object->members.count("priority"), 0u);  // nil is left out
}

// An archive's dates keep their microseconds, either side of 2001.
TEST(KeyedArchiveTest, DatesKeepTheirFractionOfASecond) {
    for (double t : {989204529.998352, 978307199.25, 1700000000.000001}) {
        auto object = ns::keyed_archive::unarchiveRoot(
            ns::keyed_archive::archiveRoot("Record", ns::Dictionary{{"ts", ns::Value(ns::Date{t})}}));
        ASSERT_TRUE(object);
        EXPECT_NEAR(object->members.at("ts").asDate().secondsSince1970, t, 1e-6) << std::fixed << t;
    }
}

TEST(KeyedArchiveTest, TheTextOfTheNilMarkerReadsBackAsText) {
    const ns::Dictionary members{{"name", ns::Value("$null")},
                                 {"list", ns::Value(ns::Array{ns::Value("$null"), ns::Value()})}};
    auto object = ns::keyed_archive::unarchiveRoot(ns::keyed_archive::archiveRoot("Record", members));
    ASSERT_TRUE(object);
    EXPECT_EQ(ns::Value(object->members).description(), ns::Value(members).description());
}

TEST(KeyedArchiveTest, DamagedArchivesAreErrorsNotCrashes) {
    ns::ErrorRef error;
    EXPECT_FALSE(ns::keyed_archive::unarchiveRoot(ns::Data{'x'}, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), ns::keyed_archive::kCoderReadCorruptError);

    // A member that refers past the object table.
    ns::Value bad(ns::Dictionary{
        {"$archiver", ns::Value("NSKeyedArchiver")},
        {"$top", ns::Value(ns::Dictionary{{"root", ns::Value(ns::Dictionary{{"CF$UID", ns::Value(1)}})}})},
        {"$objects", ns::Value(ns::Array{
                         ns::Value("$null"),
                         ns::Value(ns::Dictionary{{"$class", ns::Value(ns::Dictionary{{"CF$UID", ns::Value(2)}})},
                                                  {"path", ns::Value(ns::Dictionary{{"CF$UID", ns::Value(99)}})}}),
                         ns::Value(ns::Dictionary{{"$classname", ns::Value("FPendingPut")}})})}});
    error = nullptr;
    EXPECT_FALSE(ns::keyed_archive::unarchiveRoot(ns::plist::serialize(bad, ns::plist::Format::XML), &error));
    ASSERT_TRUE(error);

    // A data object whose bytes are something else.
    auto uid = [](int n) { return ns::Value(ns::Dictionary{{"CF$UID", ns::Value(n)}}); };
    ns::Value notBytes(ns::Dictionary{
        {"$archiver", ns::Value("NSKeyedArchiver")},
        {"$top", ns::Value(ns::Dictionary{{"root", uid(1)}})},
        {"$objects", ns::Value(ns::Array{
                         ns::Value("$null"), ns::Value(ns::Dictionary{{"$class", uid(2)}, {"blob", uid(3)}}),
                         ns::Value(ns::Dictionary{{"$classname", ns::Value("Record")}}),
                         ns::Value(ns::Dictionary{{"$class", uid(4)}, {"NS.data", ns::Value(ns::Array{uid(0)})}}),
                         ns::Value(ns::Dictionary{{"$classname", ns::Value("NSData")}})})}});
    error = nullptr;
    EXPECT_FALSE(ns::keyed_archive::unarchiveRoot(ns::plist::serialize(notBytes, ns::plist::Format::XML), &error));
    ASSERT_TRUE(error);
}

ns::Value uidTo(size_t n) {
    return ns::Value(ns::Dictionary{{"CF$UID", ns::Value(static_cast<unsigned long long>(n))}});
}

// A binary archive of a Record whose one member `m` refers to object 5;
// objects 3 and 4 are the classes NSArray and NSDate, and `more` follow.
ns::Data recordArchive(ns::Array more) {
    ns::Array objects{ns::Value("$null"), ns::Value(ns::Dictionary{{"$class", uidTo(2)}, {"m", uidTo(5)}})};
    for (const char* name : {"Record", "NSArray", "NSDate"}) {
        objects.push_back(ns::Value(ns::Dictionary{{"$classname", ns::Value(name)}}));
    }
    for (ns::Value& object : more) objects.push_back(std::move(object));
    return ns::plist::serialize(
        ns::Value(ns::Dictionary{{"$archiver", ns::Value("NSKeyedArchiver")},
                                 {"$top", ns::Value(ns::Dictionary{{"root", uidTo(1)}})},
                                 {"$objects", ns::Value(std::move(objects))}}),
        ns::plist::Format::Binary);
}

// What reads archives again into an archive that reads the same.
void expectArchivesAgain(const ns::keyed_archive::ArchivedObject& read) {
    ns::ErrorRef error;
    const ns::Data again = ns::keyed_archive::archiveRoot(read.className, read.members, &error);
    ASSERT_FALSE(again.empty()) << error->description();
    const auto reread = ns::keyed_archive::unarchiveRoot(again, &error);
    ASSERT_TRUE(reread) << error->description();
    EXPECT_EQ(ns::Value(reread->members), ns::Value(read.members));
}

void expectRefused(const ns::Data& archive, const std::string& why) {
    ns::ErrorRef error;
    EXPECT_FALSE(ns::keyed_archive::unarchiveRoot(archive, &error)) << why;
    ASSERT_TRUE(error) << why;
    EXPECT_EQ(error->code(), ns::keyed_archive::kCoderReadCorruptError);
}

// The NSArray at each level of `value` down its first items, as long as the
// two items at a level are one storage: how many levels share so.
size_t sharedLevels(const ns::Value& value) {
    size_t levels = 0;
    for (const ns::Value* at = &value; at->isArray() && at->asArray().size() == 2; at = &at->asArray()[0]) {
        if (at->asArray()[0].sharedStorage() != at->asArray()[1].sharedStorage()) break;
        ++levels;
    }
    return levels;
}

// Arrays that each name the next one twice decode into one array a level,
// shared by both places, however deep the sharing; archived again, each
// is one object still, and a cycle stays an error.
TEST(KeyedArchiveTest, SharedObjectsDecodeOnceAndArchiveAgainOnce) {
    auto doubling = [](size_t levels) {
        ns::Array arrays;
        for (size_t i = 0; i < levels; ++i) {
            arrays.push_back(ns::Value(ns::Dictionary{{"NS.objects", ns::Value(ns::Array{uidTo(6 + i), uidTo(6 + i)})},
                                                      {"$class", uidTo(3)}}));
        }
        arrays.push_back(ns::Value("a leaf text longer than a string holds in itself"));
        return recordArchive(std::move(arrays));
    };
    for (size_t levels : {2, 12, 40, 60}) {
        const ns::Data bytes = doubling(levels);
        ns::ErrorRef error;
        const auto read = ns::keyed_archive::unarchiveRoot(bytes, &error);
        ASSERT_TRUE(read) << levels << ": " << error->description();
        EXPECT_EQ(sharedLevels(read->members.at("m")), levels);
        const ns::Data again = ns::keyed_archive::archiveRoot(read->className, read->members, &error);
        ASSERT_FALSE(again.empty()) << error->description();
        EXPECT_LE(again.size(), 2 * bytes.size()) << levels;
        const auto reread = ns::keyed_archive::unarchiveRoot(again);
        ASSERT_TRUE(reread);
        EXPECT_EQ(sharedLevels(reread->members.at("m")), levels);
    }
    const ns::Value pair(ns::Array{ns::Value("a leaf text longer than a string holds in itself"),
                                   ns::Value("a leaf text longer than a string holds in itself")});
    const auto shallow = ns::keyed_archive::unarchiveRoot(doubling(2));
    ASSERT_TRUE(shallow);
    EXPECT_EQ(shallow->members.at("m"), ns::Value(ns::Array{pair, pair}));
    expectArchivesAgain(*shallow);

    // An array naming itself, and two naming each other.
    const ns::Value self(ns::Dictionary{{"NS.objects", ns::Value(ns::Array{uidTo(5)})}, {"$class", uidTo(3)}});
    const ns::Value other(ns::Dictionary{{"NS.objects", ns::Value(ns::Array{uidTo(5)})}, {"$class", uidTo(3)}});
    const ns::Value first(ns::Dictionary{{"NS.objects", ns::Value(ns::Array{uidTo(6)})}, {"$class", uidTo(3)}});
    for (const ns::Data& cycle : {recordArchive({self}), recordArchive({first, other})}) {
        ns::ErrorRef error;
        EXPECT_FALSE(ns::keyed_archive::unarchiveRoot(cycle, &error));
        ASSERT_TRUE(error);
        EXPECT_NE(error->localizedFailureReason().find("cycle"), std::string::npos) << error->description();
    }
}

// A value as the format library's node, a reference ({"CF$UID": n}) as
// its UID.
plist_t libraryNode(const ns::Value& v) {
    if (v.isArray()) {
        plist_t array = plist_new_array();
        for (const ns::Value& item : v.asArray()) plist_array_append_item(array, libraryNode(item));
        return array;
    }
    if (v.isDictionary() && v.asDictionary().size() == 1 && v.asDictionary().count("CF$UID")) {
        return plist_new_uid(v["CF$UID"].asUInt());
    }
    if (v.isDictionary()) {
        plist_t dict = plist_new_dict();
        for (const auto& [key, member] : v.asDictionary()) plist_dict_set_item(dict, key.c_str(), libraryNode(member));
        return dict;
    }
    if (v.isString()) return plist_new_string(v.asString().c_str());
    if (v.isData()) return plist_new_data(reinterpret_cast<const char*>(v.asData().data()), v.asData().size());
    if (v.isDouble()) return plist_new_real(v.asDouble());
    return plist_new_uint(v.asUInt());  // the archives below hold no other kind
}

// An archive as the format library writes it: one UID object for every
// place that holds the same reference, as other writers of archives do.
ns::Data sharingUIDs(const ns::Value& archive) {
    plist_t node = libraryNode(archive);
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(node, &bytes, &length);
    plist_free(node);
    ns::Data shared(bytes, bytes + length);
    free(bytes);
    return shared;
}

// One object named from many places, as other writers and the phone's
// archiver name an equal value once: a text, data, a dictionary, an empty
// array, a number or a date, n times, in binary with one reference object
// (ours), with one UID object a place (the format library's) and in XML.
// Each reads as the value written out at every place, every place sharing
// one storage, within the bound at 1 MB, and archives again no larger.
TEST(KeyedArchiveTest, AnObjectNamedFromManyPlacesDecodesOnceAndIsShared) {
    auto classNamed = [](const char* name) { return ns::Value(ns::Dictionary{{"$classname", ns::Value(name)}}); };
    const std::string text40(40, 't'), text16(16, 's');
    const ns::Data bytes64(64, 0xAB);
    const struct {
        const char* what;
        ns::Value object;  // object 6; object 7 is its class where it has one
        ns::Value klass;
        ns::Value decoded;
    } shapes[] = {
        {"a 40-character text", ns::Value(text40), ns::Value(7), ns::Value(text40)},
        {"a 16-character string object", ns::Value(ns::Dictionary{{"NS.string", ns::Value(text16)}, {"$class", uidTo(7)}}),
         classNamed("NSString"), ns::Value(text16)},
        {"64 bytes of data", ns::Value(ns::Dictionary{{"NS.data", ns::Value(bytes64)}, {"$class", uidTo(7)}}),
         classNamed("NSData"), ns::Value(bytes64)},
        {"a one-pair dictionary",
         ns::Value(ns::Dictionary{{"NS.keys", ns::Value(ns::Array{uidTo(8)})},
                                  {"NS.objects", ns::Value(ns::Array{uidTo(8)})},
                                  {"$class", uidTo(7)}}),
         classNamed("NSDictionary"), ns::Value(ns::Dictionary{{"currency", ns::Value("currency")}})},
        {"an empty array", ns::Value(ns::Dictionary{{"NS.objects", ns::Value(ns::Array{})}, {"$class", uidTo(3)}}),
         ns::Value(7), ns::Value(ns::Array{})},
        {"a number", ns::Value(7), ns::Value(7), ns::Value(7)},
        {"a date", ns::Value(ns::Dictionary{{"NS.time", ns::Value(12.5)}, {"$class", uidTo(4)}}), ns::Value(7),
         ns::Value(ns::Date{978307212.5})},
    };
    auto archiveOf = [](const ns::Value& object, const ns::Value& klass, size_t times) {
        ns::Array objects{ns::Value("$null"), ns::Value(ns::Dictionary{{"$class", uidTo(2)}, {"m", uidTo(5)}})};
        for (const char* name : {"Record", "NSArray", "NSDate"}) {
            objects.push_back(ns::Value(ns::Dictionary{{"$classname", ns::Value(name)}}));
        }
        objects.push_back(ns::Value(ns::Dictionary{{"NS.objects", ns::Value(ns::Array(times, uidTo(6)))},
                                                   {"$class", uidTo(3)}}));
        objects.push_back(object);
        objects.push_back(klass);
        objects.push_back(ns::Value("currency"));
        return ns::Value(ns::Dictionary{{"$archiver", ns::Value("NSKeyedArchiver")},
                                        {"$top", ns::Value(ns::Dictionary{{"root", uidTo(1)}})},
                                        {"$objects", ns::Value(std::move(objects))}});
    };
    for (const auto& shape : shapes) {
        // 100,000 places and 1 MB of references for one shape: the bound
        // holds at that size too.
        const bool first = &shape == &shapes[0];
        for (size_t times : {size_t(1), size_t(41), size_t(1000), size_t(20000), first ? size_t(100000) : 0,
                             first ? size_t(1) << 20 : 0}) {
            if (times == 0) continue;
            const ns::Value archive = archiveOf(shape.object, shape.klass, times);
            std::vector<std::pair<std::string, ns::Data>> forms{
                {"ours", ns::plist::serialize(archive, ns::plist::Format::Binary)}};
            if (times <= 1000) {
                forms.emplace_back("one UID a place", sharingUIDs(archive));
                forms.emplace_back("XML", ns::plist::serialize(archive, ns::plist::Format::XML));
            }
            for (const auto& [form, bytes] : forms) {
                const std::string what = std::string(shape.what) + ", " + std::to_string(times) + " times, " + form;
                if (times == size_t(1) << 20) {
                    ASSERT_LE(bytes.size(), size_t(1) << 21) << what;
                }
                ns::ErrorRef error;
                const auto read = ns::keyed_archive::unarchiveRoot(bytes, &error);
                ASSERT_TRUE(read) << what << ": " << error->description();
                const ns::Array& items = read->members.at("m").asArray();
                ASSERT_EQ(items.size(), times) << what;
                EXPECT_EQ(items.front(), shape.decoded) << what;
                EXPECT_EQ(items.front().sharedStorage(), items.back().sharedStorage()) << what;
                if (times <= 1000) {
                    EXPECT_EQ(read->members.at("m"), ns::Value(ns::Array(times, shape.decoded))) << what;
                }
                EXPECT_TRUE(std::all_of(items.begin(), items.end(), [&](const ns::Value& item) {
                    return item.sharedStorage() ? item.sharedStorage() == items.front().sharedStorage()
                                                : item == shape.decoded;
                })) << what;
                if (form != "ours") continue;
                const ns::Data again = ns::keyed_archive::archiveRoot(read->className, read->members, &error);
                ASSERT_FALSE(again.empty()) << what;
                EXPECT_LE(again.size(), 2 * bytes.size() + 200) << what;
            }
        }
    }
}

// A cart of 500 lines sharing their currency, category and picture, and one
// dictionary named from 1,000 arrays: archived, each shared value is one
// object (the cart and shelves take tens of kilobytes, not the megabytes of
// a picture a line), and each reads back shared.
TEST(KeyedArchiveTest, ARealisticCartArchivesEachSharedValueOnce) {
    const ns::Value picture(ns::Data(4096, 0x5A));
    ns::Array lines;
    for (int i = 0; i < 500; ++i) {
        lines.push_back(ns::Value(ns::Dictionary{{"currency", ns::Value("B/.")},
                                                 {"category", ns::Value("Electrodomésticos de cocina")},
                                                 {"picture", picture},
                                                 {"sku", ns::Value("SKU-" + std::to_string(100000 + i))},
                                                 {"quantity", ns::Value(i % 7 + 1)},
                                                 {"unitPrice", ns::Value(19.95 + i % 3)}}));
    }
    const ns::Value store(ns::Dictionary{{"name", ns::Value("Almacén de la Avenida Central")}, {"open", ns::Value(true)}});
    ns::Array shelves;
    for (int i = 0; i < 1000; ++i) shelves.push_back(ns::Value(ns::Array{store, ns::Value(i)}));
    const ns::Dictionary members{{"lines", ns::Value(lines)}, {"shelves", ns::Value(shelves)}};
    ns::ErrorRef error;
    const ns::Data bytes = ns::keyed_archive::archiveRoot("Cart", members, &error);
    ASSERT_FALSE(bytes.empty()) << error->description();
    EXPECT_LT(bytes.size(), size_t(128 * 1024));
    const auto read = ns::keyed_archive::unarchiveRoot(bytes, &error);
    ASSERT_TRUE(read) << error->description();
    EXPECT_EQ(ns::Value(read->members), ns::Value(members));
    const ns::Array& readLines = read->members.at("lines").asArray();
    EXPECT_EQ(readLines[0]["picture"].sharedStorage(), readLines[499]["picture"].sharedStorage());
    EXPECT_EQ(readLines[0]["category"].sharedStorage(), readLines[499]["category"].sharedStorage());
    const ns::Array& readShelves = read->members.at("shelves").asArray();
    EXPECT_EQ(readShelves[0].asArray()[0].sharedStorage(), readShelves[999].asArray()[0].sharedStorage());
    expectArchivesAgain(*read);
}

// An archived date holds a time its archive can be written again with.
TEST(KeyedArchiveTest, DateTimesOutsideTheRangeAreRefused) {
    auto date = [](ns::Value time) {
        return recordArchive({ns::Value(ns::Dictionary{{"NS.time", std::move(time)}, {"$class", uidTo(4)}})});
    };
    const double inf = std::numeric_limits<double>::infinity();
    for (const ns::Value& time : {ns::Value(std::nan("")), ns::Value(inf), ns::Value(-inf), ns::Value(1e300),
                                  ns::Value(-1e300), ns::Value(3e9), ns::Value(-3e9), ns::Value(2147483646),
                                  ns::Value(-2147483647), ns::Value(2147483645.9999997)}) {
        expectRefused(date(time), time.description());
    }
    const ns::Data found = *ns::crypto::base64Decode(
        "YnBsaXN0MDDSAQIDBlQkdG9wWCRvYmplY3Rz0QQFVHJvb3SAAaUHCA0QFFUkbnVsbNIJCgsMViRjbGFzc1FkgAKAA9EOD1okY2"
        "xhc3NuYW1lUVLSEQkSE1dOUy50aW1lI0HmWgvAAAAAgATRDhVWTlNEYXRlCA0SGx4jJSsxNj0/QUNGUVNYYGlrbgAAAAAAAAEB"
        "AAAAAAAAABYAAAAAAAAAAAAAAAAAAAB1");
    expectRefused(found, "a time found by hand");
    for (const ns::Value& time : {ns::Value(2147483645), ns::Value(-2147483646), ns::Value(-2147483646.5)}) {
        const auto read = ns::keyed_archive::unarchiveRoot(date(time));
        ASSERT_TRUE(read) << time.description();
        EXPECT_TRUE(read->members.at("m").isDate());
        expectArchivesAgain(*read);
    }
}

// A collection kept as it is in the object table nests within the
// archive's limit too, as it will once archived again.
TEST(KeyedArchiveTest, CollectionsKeptInTheTableNestWithinTheLimit) {
    auto kept = [](int levels) {
        ns::Value nested(1);
        for (int i = 0; i < levels; ++i) nested = ns::Value(ns::Array{nested});
        return recordArchive({nested});
    };
    expectRefused(kept(65), "65 deep");
    expectRefused(kept(300), "300 deep");
    const auto read = ns::keyed_archive::unarchiveRoot(kept(64));
    ASSERT_TRUE(read);
    expectArchivesAgain(*read);
}

// The archiver refuses a member nested past what unarchiving reads, and
// archives one at the limit.
TEST(KeyedArchiveTest, MembersNestedPastTheLimitAreNotArchived) {
    auto nested = [](int levels) {
        ns::Value v(1);
        for (int i = 0; i < levels; ++i) v = ns::Value(ns::Array{v});
        return ns::Dictionary{{"m", v}};
    };
    ns::ErrorRef error;
    EXPECT_TRUE(ns::keyed_archive::archiveRoot("Record", nested(65), &error).empty());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), ns::plist::kWriteInvalidError);
    const auto read = ns::keyed_archive::unarchiveRoot(ns::keyed_archive::archiveRoot("Record", nested(64)));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->members.at("m"), nested(64).at("m"));
}

// Sharing makes no value cost more than its bytes: a text or data object
// named from many places reads, however long; what truly exceeds the bound
// is a long key copied into every dictionary that uses it.
TEST(KeyedArchiveTest, OnlyWhatTrulyTakesMoreMemoryThanTheBoundIsRefused) {
    const std::string text(10000, 'x'), longKey(40000, 'k');
    auto namedFromArray = [](ns::Value object, ns::Value more) {
        return recordArchive({ns::Value(ns::Dictionary{{"NS.objects", ns::Value(ns::Array(1000, uidTo(6)))},
                                                       {"$class", uidTo(3)}}),
                              std::move(object), std::move(more)});
    };
    auto classNamed = [](const char* name) { return ns::Value(ns::Dictionary{{"$classname", ns::Value(name)}}); };
    const struct {
        const char* what;
        ns::Data archive;
    } reads[] = {
        {"string object", namedFromArray(ns::Value(ns::Dictionary{{"NS.string", ns::Value(text)}, {"$class", uidTo(7)}}),
                                         classNamed("NSString"))},
        {"plain string", namedFromArray(ns::Value(text), classNamed("NSString"))},
        {"data object", namedFromArray(ns::Value(ns::Dictionary{{"NS.data", ns::Value(ns::Data(10000, 7))},
                                                                {"$class", uidTo(7)}}),
                                       classNamed("NSData"))},
    };
    for (const auto& c : reads) {
        ns::ErrorRef error;
        const auto read = ns::keyed_archive::unarchiveRoot(c.archive, &error);
        ASSERT_TRUE(read) << c.what << ": " << error->description();
        EXPECT_EQ(read->members.at("m").asArray().size(), 1000u);
        expectArchivesAgain(*read);
    }
    // 2,000 dictionaries each copying one 40,000-byte key: 80 MB from an
    // archive of some hundreds of kilobytes.
    ns::Array objects{ns::Value(ns::Dictionary{{"NS.objects", ns::Value([] {
                                                   ns::Array all;
                                                   for (size_t i = 0; i < 2000; ++i) all.push_back(uidTo(9 + i));
                                                   return all;
                                               }())},
                                               {"$class", uidTo(3)}}),
                      ns::Value(longKey), classNamed("NSDictionary"), ns::Value(true)};
    for (size_t i = 0; i < 2000; ++i) {
        objects.push_back(ns::Value(ns::Dictionary{{"NS.keys", ns::Value(ns::Array{uidTo(6)})},
                                                   {"NS.objects", ns::Value(ns::Array{uidTo(8)})},
                                                   {"$class", uidTo(7)}}));
    }
    ns::ErrorRef error;
    EXPECT_FALSE(ns::keyed_archive::unarchiveRoot(recordArchive(std::move(objects)), &error));
    ASSERT_TRUE(error);
    EXPECT_NE(error->localizedFailureReason().find("more values and bytes than it holds"), std::string::npos)
        << error->description();
}

// A long archive reads, archives again and reads again in one pass over its
// object table (a walk that found each object from the table's start would
// take many minutes here).
TEST(KeyedArchiveTest, LongArchivesReadInOnePass) {
    ns::Array batches;
    for (int i = 0; i < 20000; ++i) {
        batches.push_back(ns::Value(ns::Dictionary{{"action", ns::Value(i % 2)},
                                                   {"topics", ns::Value(ns::Array{ns::Value("t" + std::to_string(i))})}}));
    }
    const size_t count = batches.size();
    const auto read = ns::keyed_archive::unarchiveRoot(
        ns::keyed_archive::archiveRoot("Record", ns::Dictionary{{"batches", ns::Value(std::move(batches))}}));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->members.at("batches").asArray().size(), count);
    expectArchivesAgain(*read);
}

}  // namespace
