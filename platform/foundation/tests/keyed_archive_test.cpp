#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

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

// Arrays that each name the next one twice decode into a copy at each
// place: bounded by what the archive holds, however deep the sharing.
TEST(KeyedArchiveTest, SharedObjectsDecodeWithinABound) {
    auto doubling = [](size_t levels) {
        ns::Array arrays;
        for (size_t i = 0; i < levels; ++i) {
            arrays.push_back(ns::Value(ns::Dictionary{{"NS.objects", ns::Value(ns::Array{uidTo(6 + i), uidTo(6 + i)})},
                                                      {"$class", uidTo(3)}}));
        }
        arrays.push_back(ns::Value("leaf"));
        return recordArchive(std::move(arrays));
    };
    for (size_t levels : {12, 40, 60}) expectRefused(doubling(levels), std::to_string(levels));
    // Sharing a little still reads, and archives again unshared.
    const auto shallow = ns::keyed_archive::unarchiveRoot(doubling(2));
    ASSERT_TRUE(shallow);
    const ns::Value pair(ns::Array{ns::Value("leaf"), ns::Value("leaf")});
    EXPECT_EQ(shallow->members.at("m"), ns::Value(ns::Array{pair, pair}));
    expectArchivesAgain(*shallow);
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

// An NSArray naming another NSArray from many places decodes into a copy at
// each, which archiving again would write out whole, an object each: it is
// refused, in either form, as soon as it decodes into more memory than the
// archive holds, a reference counting as the slot it takes. The same value
// archived by us, each copy an object of its own, reads and archives again.
TEST(KeyedArchiveTest, AnArrayNamedFromManyPlacesIsRefusedRatherThanExpanded) {
    auto archiveOf = [](size_t times, ns::Array items) {
        ns::Array objects{ns::Value("$null"), ns::Value(ns::Dictionary{{"$class", uidTo(2)}, {"m", uidTo(4)}}),
                          ns::Value(ns::Dictionary{{"$classname", ns::Value("Record")}}),
                          ns::Value(ns::Dictionary{{"$classname", ns::Value("NSArray")}}),
                          ns::Value(ns::Dictionary{{"NS.objects", ns::Value(ns::Array(times, uidTo(5)))},
                                                   {"$class", uidTo(3)}}),
                          ns::Value(ns::Dictionary{{"NS.objects", ns::Value(std::move(items))}, {"$class", uidTo(3)}}),
                          ns::Value(7)};
        return ns::Value(ns::Dictionary{{"$archiver", ns::Value("NSKeyedArchiver")},
                                        {"$top", ns::Value(ns::Dictionary{{"root", uidTo(1)}})},
                                        {"$objects", ns::Value(std::move(objects))}});
    };
    auto namedFrom = [&](size_t times, ns::Array items, ns::plist::Format format) {
        return ns::plist::serialize(archiveOf(times, std::move(items)), format);
    };
    const ns::Data oneUID = sharingUIDs(archiveOf(5000, {uidTo(6), uidTo(6)}));
    ASSERT_LT(oneUID.size(), 6000u);  // a byte a place
    const struct {
        const char* what;
        ns::Data archive;
    } refused[] = {
        {"an empty array, binary", namedFrom(2000, {}, ns::plist::Format::Binary)},
        {"an empty array, XML", namedFrom(2000, {}, ns::plist::Format::XML)},
        {"two numbers, binary", namedFrom(2000, {uidTo(6), uidTo(6)}, ns::plist::Format::Binary)},
        {"two numbers in place, XML", namedFrom(2000, {ns::Value(7), ns::Value(7)}, ns::plist::Format::XML)},
        {"two numbers, one UID a place", oneUID},
    };
    for (const auto& c : refused) {
        ns::ErrorRef error;
        EXPECT_FALSE(ns::keyed_archive::unarchiveRoot(c.archive, &error)) << c.what;
        ASSERT_TRUE(error) << c.what;
        EXPECT_EQ(error->code(), ns::keyed_archive::kCoderReadCorruptError);
        EXPECT_NE(error->localizedFailureReason().find("more values and bytes than it holds"), std::string::npos)
            << c.what << ": " << error->description();
    }
    // Named from a few places it still reads, and archives again unshared.
    const auto few = ns::keyed_archive::unarchiveRoot(namedFrom(3, {uidTo(6), uidTo(6)}, ns::plist::Format::Binary));
    ASSERT_TRUE(few);
    const ns::Value pair(ns::Array{ns::Value(7), ns::Value(7)});
    EXPECT_EQ(few->members.at("m"), ns::Value(ns::Array(3, pair)));
    expectArchivesAgain(*few);
    const ns::Dictionary copies{{"m", ns::Value(ns::Array(5000, pair))}};
    const auto ours = ns::keyed_archive::unarchiveRoot(ns::keyed_archive::archiveRoot("Record", copies));
    ASSERT_TRUE(ours);
    EXPECT_EQ(ours->members, copies);
    expectArchivesAgain(*ours);
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

// A text or data object named from many places decodes into a copy at each:
// bounded by the bytes the archive holds, not its values alone. Archives of
// ours, where each value is an object of its own, still read.
TEST(KeyedArchiveTest, SharedTextAndDataDecodeWithinABoundInBytes) {
    const std::string text(10000, 'x');
    auto namedFromArray = [](ns::Value object, ns::Value more) {
        return recordArchive({ns::Value(ns::Dictionary{{"NS.objects", ns::Value(ns::Array(1000, uidTo(6)))},
                                                       {"$class", uidTo(3)}}),
                              std::move(object), std::move(more)});
    };
    auto classNamed = [](const char* name) { return ns::Value(ns::Dictionary{{"$classname", ns::Value(name)}}); };
    const struct {
        const char* what;
        ns::Data archive;
    } refused[] = {
        {"string object", namedFromArray(ns::Value(ns::Dictionary{{"NS.string", ns::Value(text)}, {"$class", uidTo(7)}}),
                                         classNamed("NSString"))},
        {"plain string", namedFromArray(ns::Value(text), classNamed("NSString"))},
        {"data object", namedFromArray(ns::Value(ns::Dictionary{{"NS.data", ns::Value(ns::Data(10000, 7))},
                                                                {"$class", uidTo(7)}}),
                                       classNamed("NSData"))},
    };
    for (const auto& c : refused) expectRefused(c.archive, c.what);

    const ns::Dictionary ours{{"same", ns::Value(ns::Array(1000, ns::Value(text)))},
                              {"nils", ns::Value(ns::Array(1000, ns::Value()))}};
    const auto read = ns::keyed_archive::unarchiveRoot(ns::keyed_archive::archiveRoot("Record", ours));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->members.at("same"), ours.at("same"));
    expectArchivesAgain(*read);
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
