#include <gtest/gtest.h>

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

}  // namespace
