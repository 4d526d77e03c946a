#include "platform/plist.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cctype>
#include <cstring>
#include <malloc.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <cmath>
#include <limits>
#include <vector>

#include "platform/crypto.h"
#include "platform/file_manager.h"
#include "platform/keyed_archive.h"
#include "testing/temp_sandbox.h"

namespace {

using ns::Value;
using ns::plist::Format;

ns::Data bytesOf(std::string_view s) {
    return ns::Data(s.begin(), s.end());
}

Value roundTrip(const Value& v, Format format) {
    ns::ErrorRef error;
    ns::Data bytes = ns::plist::serialize(v, format, &error);
    EXPECT_EQ(error, nullptr) << (error ? error->description() : "");
    Format detected{};
    Value back = ns::plist::parse(bytes, &error, &detected);
    EXPECT_EQ(error, nullptr) << (error ? error->description() : "");
    EXPECT_EQ(detected, format);
    return back;
}

class PlistFormats : public ::testing::TestWithParam<Format> {};

TEST_P(PlistFormats, EveryKindRoundTripsWithItsKind) {
    const Format f = GetParam();
    const Value v(ns::Dictionary{
        {"true", true},
        {"false", false},
        {"int", 42},
        {"negative", -5},
        {"int64min", std::numeric_limits<int64_t>::min()},
        {"int64max", std::numeric_limits<int64_t>::max()},
        {"uint64max", std::numeric_limits<uint64_t>::max()},
        {"topBitUnsigned", uint64_t(1) << 63},
        {"one", 1.0},
        {"real", -2.75},
        {"string", "héllo ✓"},
        {"empty", ""},
        {"data", ns::Data{0, 1, 2, 255}},
        {"array", ns::Array{Value(1), Value("two"), Value(ns::Array{})}},
        {"dict", ns::Dictionary{{"inner", ns::Dictionary{}}}},
    });
    const Value back = roundTrip(v, f);
    EXPECT_EQ(back, v);
    // Equality is numeric across kinds, so check the kinds one by one.
    const auto& d = back.asDictionary();
    EXPECT_TRUE(d.at("true").isBool());
    EXPECT_TRUE(d.at("false").isBool());
    EXPECT_EQ(d.at("int").type(), Value::Type::Int);
    EXPECT_EQ(d.at("negative").type(), Value::Type::Int);
    EXPECT_EQ(d.at("negative").asInt(), -5);
    EXPECT_EQ(d.at("int64min").type(), Value::Type::Int);
    EXPECT_EQ(d.at("int64min").asInt(), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(d.at("uint64max").type(), Value::Type::UInt);
    EXPECT_EQ(d.at("uint64max").asUInt(), std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(d.at("topBitUnsigned").type(), Value::Type::UInt);
    EXPECT_EQ(d.at("one").type(), Value::Type::Double);
    EXPECT_EQ(d.at("real").type(), Value::Type::Double);
    EXPECT_TRUE(d.at("data").isData());
}

TEST_P(PlistFormats, DatesRoundTrip) {
    const Format f = GetParam();
    // Whole seconds survive both forms; microseconds survive the binary one.
    for (double t : {1'700'000'000.0, 978'307'200.0, 500'000'000.0, 978'307'199.0}) {
        Value back = roundTrip(Value(ns::Date{t}), f);
        ASSERT_TRUE(back.isDate());
        EXPECT_EQ(back.asDate().secondsSince1970, t);
    }
    if (f == Format::Binary) {
        for (double t : {1'700'000'000.25, 978'307'199.5, 978'307'200.5, 600'000'000.125}) {
            Value back = roundTrip(Value(ns::Date{t}), f);
            EXPECT_NEAR(back.asDate().secondsSince1970, t, 1e-6) << t;
        }
    }
    ns::ErrorRef error;
    EXPECT_TRUE(ns::plist::serialize(Value(ns::Date{1e12}), f, &error).empty());
    ASSERT_NE(error, nullptr);
    EXPECT_NE(error->localizedDescription().find("date"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Plist, PlistFormats, ::testing::Values(Format::XML, Format::Binary),
                         [](const auto& info) { return info.param == Format::XML ? "XML" : "Binary"; });

TEST(Plist, BinaryDatesKeepTheirMicrosecondThroughEveryRewrite) {
    // Most doubles of a date fall a hair under their microsecond; reading
    // must not drift a microsecond earlier each time the list is rewritten.
    for (double base : {1'577'934'245.0, 978'307'200.0, 700'000'000.0, 1'900'000'000.0}) {
        for (int usec = 0; usec < 1'000'000; usec += 9973) {
            const Value first = roundTrip(Value(ns::Date{base + usec / 1e6}), Format::Binary);
            ASSERT_TRUE(first.isDate());
            EXPECT_NEAR(first.asDate().secondsSince1970, base + usec / 1e6, 0.6e-6) << base << " " << usec;
            const Value second = roundTrip(first, Format::Binary);
            EXPECT_EQ(second, first) << std::fixed << first.asDate().secondsSince1970;
        }
    }
    // A date the library cannot hold is refused on reading as on writing.
    ns::Data far = ns::plist::serialize(Value(ns::Array{Value(ns::Date{1'700'000'000.0})}), Format::Binary);
    const uint8_t marker[] = {0x33};
    auto at = std::search(far.begin(), far.end(), std::begin(marker), std::end(marker));
    ASSERT_NE(at, far.end());
    const double huge = 1e300;
    uint64_t bits;
    std::memcpy(&bits, &huge, sizeof bits);
    for (int k = 0; k < 8; ++k) at[1 + k] = uint8_t(bits >> (56 - 8 * k));
    ns::ErrorRef error;
    EXPECT_TRUE(ns::plist::parse(far, &error).isNull());
    ASSERT_NE(error, nullptr);
    EXPECT_NE(error->localizedDescription().find("date"), std::string::npos);
}

TEST(Plist, ReadsHandWrittenXML) {
    const char* xml = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>CFBundleIdentifier</key><string>com.example.store</string>
  <key>Count</key><integer>-12</integer>
  <key>Big</key><integer>18446744073709551615</integer>
  <key>Ratio</key><real>2</real>
  <key>On</key><true/>
  <key>Blob</key><data>AAEC</data>
</dict>
</plist>)";
    ns::ErrorRef error;
    Value v = ns::plist::parse(bytesOf(xml), &error);
    ASSERT_EQ(error, nullptr);
    EXPECT_EQ(v["CFBundleIdentifier"], Value("com.example.store"));
    EXPECT_EQ(v["Count"].asInt(), -12);
    EXPECT_EQ(v["Big"].type(), Value::Type::UInt);
    EXPECT_EQ(v["Ratio"].type(), Value::Type::Double);
    EXPECT_EQ(v["On"], Value(true));
    EXPECT_EQ(v["Blob"], Value(ns::Data{0, 1, 2}));
}

TEST(Plist, MalformedInputGivesErrorsNotCrashes) {
    ns::Data valid = ns::plist::serialize(Value(ns::Array{Value(1), Value("x")}), Format::Binary);
    ns::Data truncated(valid.begin(), valid.begin() + long(valid.size() / 2));
    ASSERT_GT(valid.size(), 32u);  // header, objects and the 32-byte trailer
    ns::Data damagedTrailer = valid;
    damagedTrailer.at(damagedTrailer.size() - 26) = 0x7F;  // offset size out of range

    std::string deepXML = "<plist>";
    for (int i = 0; i < 100000; ++i) deepXML += "<array>";
    for (int i = 0; i < 100000; ++i) deepXML += "</array>";
    deepXML += "</plist>";

    for (const ns::Data& bad : {ns::Data{}, bytesOf("garbage"), bytesOf("<plist><dict><key>a</key>"),
                                bytesOf("bplist00"), truncated, damagedTrailer, bytesOf(deepXML),
                                bytesOf("bplist15xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx")}) {
        ns::ErrorRef error;
        Value v = ns::plist::parse(bad, &error);
        EXPECT_TRUE(v.isNull());
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->domain(), ns::kCocoaErrorDomain);
        EXPECT_EQ(error->code(), ns::plist::kReadCorruptError);
    }
}

TEST(Plist, BinaryKeyWithANulIsRefused) {
    ns::Data b = ns::plist::serialize(Value(ns::Dictionary{{"aXb", 1}}), Format::Binary);
    auto at = std::search(b.begin(), b.end(), std::begin("aXb"), std::end("aXb") - 1);
    ASSERT_NE(at, b.end());
    at[1] = 0;
    ns::ErrorRef error;
    EXPECT_TRUE(ns::plist::parse(b, &error).isNull());
    ASSERT_NE(error, nullptr);
    EXPECT_NE(error->localizedDescription().find("NUL"), std::string::npos);
}

// Dates the XML reader cannot hold would read as a value no list can write.
TEST(Plist, XMLDatesOutsideTheRangeAreRefused) {
    for (const char* text : {"1900-01-01T00:00:00Z", "2070-01-01T00:00:00Z", "9999-99-99T99:99:99Z"}) {
        ns::ErrorRef error;
        EXPECT_TRUE(ns::plist::parse(bytesOf(std::string("<plist><date>") + text + "</date></plist>"), &error).isNull());
        ASSERT_NE(error, nullptr) << text;
        EXPECT_EQ(error->code(), ns::plist::kReadCorruptError);
    }
    ns::ErrorRef error;
    EXPECT_EQ(ns::plist::parse(bytesOf("<plist><date>2068-12-31T00:00:00Z</date></plist>"), &error).type(),
              Value::Type::Date);
    EXPECT_EQ(error, nullptr);
}

// Text that could never be written again is refused when read, whichever
// format carries it.
TEST(Plist, TextThatIsNotUTF8IsRefusedOnReading) {
    const std::string xmlKey = "<plist><dict><key>\x8B\x8Br</key><real>0.25</real></dict></plist>";
    const std::string xmlString = "<plist><array><string>ok</string><string>caf\xC3</string></array></plist>";
    ns::Data binary = ns::plist::serialize(Value(ns::Array{Value("aXb")}), Format::Binary);
    auto at = std::search(binary.begin(), binary.end(), std::begin("aXb"), std::end("aXb") - 1);
    ASSERT_NE(at, binary.end());
    at[1] = 0xFF;  // an ASCII string object with a byte no text has
    for (const ns::Data& bad : {bytesOf(xmlKey), bytesOf(xmlString), binary}) {
        ns::ErrorRef error;
        EXPECT_TRUE(ns::plist::parse(bad, &error).isNull());
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->code(), ns::plist::kReadCorruptError);
        EXPECT_NE(error->localizedDescription().find("UTF-8"), std::string::npos) << error->localizedDescription();
    }
}

// A binary property list whose array refers to itself.
TEST(Plist, BinaryReferenceCycleIsRefused) {
    // Object 0: array of one reference to object 0.
    ns::Data b = bytesOf("bplist00");
    b.push_back(0xA1);  // array, 1 element
    b.push_back(0x00);  // -> object 0
    size_t table = b.size();
    b.push_back(0x08);  // offset of object 0
    ns::Data trailer(32, 0);
    trailer[6] = 1;    // offset size
    trailer[7] = 1;    // reference size
    trailer[15] = 1;   // one object
    trailer[23] = 0;   // top object 0
    trailer[31] = uint8_t(table);
    b.insert(b.end(), trailer.begin(), trailer.end());
    ns::ErrorRef error;
    EXPECT_TRUE(ns::plist::parse(b, &error).isNull());
    ASSERT_NE(error, nullptr);
    EXPECT_NE(error->localizedDescription().find("cycle"), std::string::npos);
}

TEST(Plist, ValuesWithoutAPropertyListFormAreRefusedWithTheirPlace) {
    ns::ErrorRef error;
    Value withNull(ns::Dictionary{{"outer", ns::Array{Value(1), Value()}}});
    EXPECT_TRUE(ns::plist::serialize(withNull, Format::XML, &error).empty());
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), ns::plist::kWriteInvalidError);
    EXPECT_NE(error->localizedDescription().find("outer[1]"), std::string::npos) << error->localizedDescription();

    EXPECT_FALSE(ns::plist::isValidPropertyList(Value(std::make_shared<ns::Object>())));
    EXPECT_FALSE(ns::plist::isValidPropertyList(Value(std::string("a\0b", 3))));
    EXPECT_FALSE(ns::plist::isValidPropertyList(Value(std::string("\xc3\x28"))));
    EXPECT_TRUE(ns::plist::isValidPropertyList(Value(ns::Dictionary{{"k", ns::Array{}}})));
}

TEST(Plist, FilesAreWrittenAtomicallyAndErrorsNameThePath) {
    ns::testing::TempSandbox sandbox;
    const std::string path = sandbox.root() + "/sample.plist";
    const Value v(ns::Dictionary{{"k", -1}, {"r", 1.0}});

    ns::ErrorRef error;
    ASSERT_TRUE(ns::plist::writeFile(path, v, Format::Binary, &error, 0600)) << error->description();
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    Value back = ns::plist::readFile(path, &error);
    EXPECT_EQ(back, v);
    EXPECT_TRUE(back["r"].isDouble());
    // No temporary files left next to it.
    const auto names = ns::FileManager().contentsOfDirectory(sandbox.root());
    ASSERT_TRUE(names);
    for (const std::string& name : *names) {
        EXPECT_NE(name[0], '.') << name;
    }

    const std::string missing = sandbox.root() + "/nope.plist";
    EXPECT_TRUE(ns::plist::readFile(missing, &error).isNull());
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), ns::kFileReadNoSuchFileError);
    EXPECT_EQ(error->userInfo().at(ns::kFilePathErrorKey), Value(missing));
    EXPECT_NE(error->localizedDescription().find(missing), std::string::npos);

    const std::string corrupt = sandbox.root() + "/corrupt.plist";
    ASSERT_TRUE(ns::FileManager().writeData(corrupt, bytesOf("<plist><dict>")));
    EXPECT_TRUE(ns::plist::readFile(corrupt, &error).isNull());
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), ns::plist::kReadCorruptError);
    EXPECT_EQ(error->userInfo().at(ns::kFilePathErrorKey), Value(corrupt));
    EXPECT_NE(error->localizedDescription().find(corrupt), std::string::npos);

    const std::string intoMissingDir = sandbox.root() + "/no/such/dir/x.plist";
    EXPECT_FALSE(ns::plist::writeFile(intoMissingDir, v, Format::XML, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->userInfo().at(ns::kFilePathErrorKey), Value(intoMissingDir));

    EXPECT_FALSE(ns::plist::writeFile(path, Value(), Format::XML, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_NE(error->localizedDescription().find(path), std::string::npos);
    EXPECT_EQ(ns::plist::readFile(path), v) << "a refused write leaves the file alone";
}

// A binary list of the given objects' bytes, object 0 on top, with
// two-byte offsets and one-byte references.
ns::Data binaryList(const std::vector<ns::Data>& objects) {
    ns::Data b = bytesOf("bplist00");
    std::vector<size_t> offsets;
    for (const ns::Data& object : objects) {
        offsets.push_back(b.size());
        b.insert(b.end(), object.begin(), object.end());
    }
    const size_t table = b.size();
    for (size_t offset : offsets) {
        b.push_back(uint8_t(offset >> 8));
        b.push_back(uint8_t(offset));
    }
    ns::Data trailer(32, 0);
    trailer[6] = 2;
    trailer[7] = 1;
    trailer[15] = uint8_t(objects.size());
    trailer[30] = uint8_t(table >> 8);
    trailer[31] = uint8_t(table);
    b.insert(b.end(), trailer.begin(), trailer.end());
    return b;
}

// A damaged offset table can aim an object into another one's bytes: each
// object reads as its own bytes say, so two dates sharing bytes read as two
// dates and a key with a date marker inside reads as its text, while a key
// that is itself a date is refused.
TEST(Plist, ObjectsOverDamagedOffsetsReadAsTheirBytesSay) {
    // A dictionary whose one key is UTF-16 text with an object offset inside
    // it that reads as a date marker (found by fuzzing).
    const ns::Data keyHit =
        *ns::crypto::base64Decode("YnBsaXN0MDDRAQJlQTNAQUJDREVGRwkICxYNAAAAAAAAAQEAAAAAAAAABAAAAAAAAAAAAAAAAAAAABc=");
    // An array of two dates, the second starting inside the first.
    ns::Data overlap = bytesOf("bplist00");
    overlap.insert(overlap.end(), {0xA2, 0x01, 0x02, 0x33, 0x33});
    overlap.resize(overlap.size() + 11, 0x40);
    const size_t table = overlap.size();
    overlap.insert(overlap.end(), {0x08, 0x0B, 0x0C});
    ns::Data trailer(32, 0);
    trailer[6] = 1;
    trailer[7] = 1;
    trailer[15] = 3;
    trailer[31] = uint8_t(table);
    overlap.insert(overlap.end(), trailer.begin(), trailer.end());
    const ns::Data dateKey = binaryList({{0xD1, 0x01, 0x02}, {0x33, 0x41, 0, 0, 0, 0, 0, 0, 0}, {0x09}});
    for (const ns::Data& readable : {keyHit, overlap}) {
        ns::ErrorRef error;
        const Value v = ns::plist::parse(readable, &error);
        ASSERT_EQ(error, nullptr) << error->description();
        EXPECT_EQ(roundTrip(v, Format::Binary), v);
    }
    EXPECT_NE(ns::plist::parse(overlap).asArray()[0], ns::plist::parse(overlap).asArray()[1]);
    ns::ErrorRef error;
    EXPECT_TRUE(ns::plist::parse(dateKey, &error).isNull());
    ASSERT_NE(error, nullptr);
    EXPECT_NE(error->localizedDescription().find("key"), std::string::npos) << error->localizedDescription();
}

// Arrays each holding the next one twice, then `true`: 2^(levels+1) - 1
// objects once every reference is expanded.
ns::Data doublingList(int levels) {
    std::vector<ns::Data> objects;
    for (int i = 0; i < levels; ++i) objects.push_back({0xA2, uint8_t(i + 1), uint8_t(i + 1)});
    objects.push_back({0x09});
    return binaryList(objects);
}

// An object named from many places is read once and shared, so arrays that
// each name the next one twice read as one array a level, however deep:
// the binary form writes them back as small, and XML, which would write
// each place out, refuses what would come to more values than a file holds.
TEST(Plist, SharedReferencesReadOnceHoweverDeepTheSharing) {
    const ns::Data found = *ns::crypto::base64Decode(
        "YnBsaXN0MDCiAQGiAgKiAwOiBASiBQWiBgaiBweiCAiiCQmiCgqiCwuiDAyiDQ2iDg6iDw+iEBCiERGiEhIQAQgLDhEUFxodICMmKSwvMjU4"
        "Oz4AAAAAAAABAQAAAAAAAAATAAAAAAAAAAAAAAAAAAAAQA==");
    const struct {
        ns::Data bytes;
        size_t levels;
        Value leaf;
    } cases[] = {{found, 18, Value(1)},
                 {doublingList(4), 4, Value(true)},
                 {doublingList(8), 8, Value(true)},
                 {doublingList(40), 40, Value(true)},
                 {doublingList(60), 60, Value(true)}};
    // Down the first items: two items a level, one storage, then the leaf.
    auto expectShared = [](const Value& v, const auto& c) {
        const Value* at = &v;
        for (size_t level = 0; level < c.levels; ++level, at = &at->asArray()[0]) {
            ASSERT_EQ(at->asArray().size(), 2u);
            ASSERT_EQ(at->asArray()[0].sharedStorage(), at->asArray()[1].sharedStorage()) << level;
        }
        EXPECT_TRUE(*at == c.leaf) << c.levels;
    };
    for (const auto& c : cases) {
        ns::ErrorRef error;
        const Value v = ns::plist::parse(c.bytes, &error);
        ASSERT_EQ(error, nullptr) << c.levels << ": " << error->description();
        expectShared(v, c);
        const ns::Data again = ns::plist::serialize(v, Format::Binary);
        EXPECT_LE(again.size(), 2 * c.bytes.size()) << c.levels;
        expectShared(ns::plist::parse(again), c);
        ns::ErrorRef xmlError;
        const bool xml = !ns::plist::serialize(v, Format::XML, &xmlError).empty();
        EXPECT_EQ(xml, c.levels < 28) << c.levels;
        if (!xml) {
            ASSERT_NE(xmlError, nullptr);
            EXPECT_EQ(xmlError->code(), ns::plist::kWriteInvalidError);
            EXPECT_NE(xmlError->localizedDescription().find("binary form can hold it"), std::string::npos);
        }
    }
    // The writer names equal leaves once: thousands of references to one
    // string and one UID-like dictionary read back whole.
    ns::Array many(5000, Value("same"));
    many.push_back(Value(ns::Dictionary{{"CF$UID", Value(7)}}));
    const Value wide(ns::Dictionary{{"list", many}, {"again", many}});
    EXPECT_EQ(roundTrip(wide, Format::Binary), wide);
}

// A text or data of a megabyte named from 5,000 places is a few megabytes
// in memory and in binary, and five gigabytes of XML: XML refuses it as it
// refuses too many values, before writing a byte, and the binary form
// writes the one buffer once.
TEST(Plist, ASharedTextOrDataTooLargeForXMLAtEveryPlaceIsRefusedThere) {
    Value text(std::string(size_t(1) << 20, 'x'));
    Value data(ns::Data(size_t(1) << 20, 0x5A));
    for (Value* shared : {&text, &data}) {
        shared->share();
        const Value many(ns::Array(5000, *shared));
        ns::ErrorRef error;
        EXPECT_TRUE(ns::plist::serialize(many, Format::XML, &error).empty());
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->code(), ns::plist::kWriteInvalidError);
        EXPECT_NE(error->localizedDescription().find("bytes of text"), std::string::npos)
            << error->localizedDescription();
        const ns::Data binary = ns::plist::serialize(many, Format::Binary);
        EXPECT_LT(binary.size(), (size_t(1) << 20) + 20000);
        EXPECT_EQ(ns::plist::parse(binary), many);
        // A few places write out in XML as before.
        EXPECT_FALSE(ns::plist::serialize(Value(ns::Array(3, *shared)), Format::XML).empty());
    }
}

// Nesting is counted as the library's parser reads the text: tags inside
// comments, processing instructions, a DOCTYPE's internal subset, CDATA or
// a quoted attribute value neither open nor close anything.
TEST(Plist, XMLDepthIsCountedAsTheParserReadsIt) {
    auto nested = [](int levels, const std::string& open, const std::string& hider) {
        std::string xml = "<plist>";
        for (int i = 0; i < levels; ++i) xml += open + hider;
        xml += "<true/>";
        for (int i = 0; i < levels; ++i) xml += "</array>";
        return bytesOf(xml + "</plist>");
    };
    const struct {
        const char* open;
        const char* hider;
    } hidden[] = {{"<array>", "<!-- </array> -->"},
                  {"<array>", "<?note </array> ?>"},
                  {"<array>", "<!DOCTYPE plist [ </array> ]>"},
                  {"<array>", "<string><![CDATA[</array>]]></string>"},
                  {"<array a=\"</array>\">", ""},
                  {"<array\n>", "<!-- -- </array> -->"}};
    for (const auto& shape : hidden) {
        for (int levels : {600, 20000}) {
            ns::ErrorRef error;
            EXPECT_TRUE(ns::plist::parse(nested(levels, shape.open, shape.hider), &error).isNull());
            ASSERT_NE(error, nullptr) << shape.hider << " " << levels;
            EXPECT_NE(error->localizedDescription().find("nested"), std::string::npos) << error->localizedDescription();
        }
        // Within the limit the same text reads, and writes again.
        ns::ErrorRef error;
        const Value v = ns::plist::parse(nested(100, shape.open, shape.hider), &error);
        ASSERT_EQ(error, nullptr) << shape.hider << ": " << error->description();
        EXPECT_TRUE(ns::plist::isValidPropertyList(v));
    }
    // Tags that only look like containers inside a comment do not count.
    ns::ErrorRef error;
    const Value deepest = ns::plist::parse(nested(512, "<array>", "<!-- <array><dict> -->"), &error);
    ASSERT_EQ(error, nullptr) << error->description();
    EXPECT_FALSE(ns::plist::serialize(deepest, Format::Binary).empty());
}

// Whatever one form reads, both forms write, and what they write reads:
// the range is the same for every reader and writer, at either end.
TEST(Plist, DateRangeIsTheSameForReadingAndWriting) {
    auto binaryDate = [](double since2001) {
        ns::Data object{0x33};
        uint64_t bits;
        std::memcpy(&bits, &since2001, sizeof bits);
        for (int k = 0; k < 8; ++k) object.push_back(uint8_t(bits >> (56 - 8 * k)));
        return binaryList({object});
    };
    auto xmlDate = [](const std::string& text) { return bytesOf("<plist><date>" + text + "</date></plist>"); };
    const double earliest = -2147483647.0, latest = 2147483646.0;  // seconds since 2001, both excluded
    const struct {
        ns::Data bytes;
        bool reads;
    } cases[] = {
        {xmlDate("2069-01-19T03:14:05Z"), true},       {xmlDate("2069-01-19T03:14:06Z"), false},
        {xmlDate("1932-12-13T20:45:54Z"), true},       {xmlDate("1932-12-13T20:45:53Z"), false},
        {binaryDate(latest - 1e-6), true},             {binaryDate(latest - 3e-7), false},
        {binaryDate(latest), false},                   {binaryDate(earliest + 1e-6), true},
        {binaryDate(earliest + 3e-7), false},          {binaryDate(earliest), false},
        {binaryDate(std::nan("")), false},             {binaryDate(-1e300), false},
    };
    for (const auto& c : cases) {
        ns::ErrorRef error;
        const Value v = ns::plist::parse(c.bytes, &error);
        ASSERT_EQ(v.isDate(), c.reads) << std::string(c.bytes.begin(), c.bytes.end());
        if (!c.reads) {
            ASSERT_NE(error, nullptr);
            EXPECT_NE(error->localizedDescription().find("date"), std::string::npos);
            continue;
        }
        EXPECT_EQ(roundTrip(v, Format::Binary), v);
        EXPECT_TRUE(roundTrip(v, Format::XML).isDate());
    }
    // A writer refuses a date that would round onto an end.
    const double epoch = 978307200.0;
    EXPECT_FALSE(ns::plist::isValidPropertyList(Value(ns::Date{epoch + latest - 3e-7})));
    EXPECT_FALSE(ns::plist::isValidPropertyList(Value(ns::Date{epoch + earliest + 3e-7})));
    EXPECT_TRUE(ns::plist::isValidPropertyList(Value(ns::Date{epoch + latest - 1e-6})));
}

// A binary list put together object by object, for shapes our writer never
// makes (objects named from many places, UIDs anywhere): four-byte offsets,
// references as wide as the object count needs.
class ListBuilder {
public:
    size_t leaf(ns::Data bytes) {
        objects_.push_back({std::move(bytes), 0, {}});
        return objects_.size() - 1;
    }
    // An array (0xA) or a dictionary (0xD, keys then values).
    size_t container(uint8_t type, std::vector<size_t> refs) {
        objects_.push_back({{}, type, std::move(refs)});
        return objects_.size() - 1;
    }
    static ns::Data marked(uint8_t type, size_t count, std::string_view contents) {
        ns::Data d;
        appendCount(d, type, count);
        d.insert(d.end(), contents.begin(), contents.end());
        return d;
    }
    ns::Data bytes(size_t top) const {
        const size_t refSize = objects_.size() <= 0xFF ? 1 : objects_.size() <= 0xFFFF ? 2 : 4;
        ns::Data b = bytesOf("bplist00");
        std::vector<size_t> offsets;
        for (const Object& o : objects_) {
            offsets.push_back(b.size());
            if (!o.type) {
                b.insert(b.end(), o.bytes.begin(), o.bytes.end());
                continue;
            }
            appendCount(b, o.type, o.type == 0xD ? o.refs.size() / 2 : o.refs.size());
            for (size_t r : o.refs) appendBE(b, r, refSize);
        }
        const size_t table = b.size();
        for (size_t off : offsets) appendBE(b, off, 4);
        b.insert(b.end(), 6, 0);
        b.push_back(4);
        b.push_back(uint8_t(refSize));
        appendBE(b, objects_.size(), 8);
        appendBE(b, top, 8);
        appendBE(b, table, 8);
        return b;
    }

private:
    struct Object {
        ns::Data bytes;
        uint8_t type;
        std::vector<size_t> refs;
    };
    static void appendBE(ns::Data& d, uint64_t v, size_t size) {
        for (size_t i = size; i-- > 0;) d.push_back(uint8_t(v >> (8 * i)));
    }
    static void appendCount(ns::Data& d, uint8_t type, size_t count) {
        d.push_back(uint8_t(type << 4 | std::min<size_t>(count, 15)));
        if (count < 15) return;
        d.push_back(0x13);
        appendBE(d, count, 8);
    }
    std::vector<Object> objects_;
};

// `levels` arrays, one inside the next, around `inner` (a value in XML).
std::string nestedXML(int levels, const std::string& inner) {
    std::string xml = "<plist>";
    for (int i = 0; i < levels; ++i) xml += "<array>";
    xml += inner;
    for (int i = 0; i < levels; ++i) xml += "</array>";
    return xml + "</plist>";
}

ns::Data nestedBinary(int levels, ns::Data inner) {
    ListBuilder list;
    size_t at = list.leaf(std::move(inner));
    for (int i = 0; i < levels; ++i) at = list.container(0xA, {at});
    return list.bytes(at);
}

// What a reader accepts at the depth limit, both forms write back; a UID
// reads as a dictionary of one member, so it counts one level more.
TEST(Plist, WhatReadsAtTheDepthLimitWritesBack) {
    const std::string uid = "<dict><key>CF$UID</key><integer>1</integer></dict>";
    const struct {
        const char* what;
        ns::Data bytes;
        bool reads;
    } cases[] = {
        {"binary UID at depth 511", nestedBinary(511, {0x80, 0x01}), true},
        {"binary UID at depth 512", nestedBinary(512, {0x80, 0x01}), false},
        {"binary empty array at depth 512", nestedBinary(512, {0xA0}), true},
        {"binary empty array at depth 513", nestedBinary(513, {0xA0}), false},
        {"XML UID at depth 511", bytesOf(nestedXML(511, uid)), true},
        {"XML UID at depth 512", bytesOf(nestedXML(512, uid)), false},
        {"XML empty array at depth 512", bytesOf(nestedXML(512, "<array/>")), true},
        {"XML empty array at depth 513", bytesOf(nestedXML(513, "<array/>")), false},
    };
    for (const auto& c : cases) {
        ns::ErrorRef error;
        const Value v = ns::plist::parse(c.bytes, &error);
        ASSERT_EQ(error == nullptr, c.reads) << c.what << ": " << (error ? error->description() : "read");
        if (!c.reads) {
            EXPECT_NE(error->localizedDescription().find("nested"), std::string::npos) << c.what;
            continue;
        }
        EXPECT_EQ(roundTrip(v, Format::Binary), v) << c.what;
        EXPECT_EQ(roundTrip(v, Format::XML), v) << c.what;
    }
}

// The bytes the process holds allocated: the sanitizers' count where one
// allocates, else the C library's main arena and mapped blocks.
extern "C" size_t __sanitizer_get_current_allocated_bytes() __attribute__((weak));
size_t allocatedBytes() {
    if (__sanitizer_get_current_allocated_bytes) return __sanitizer_get_current_allocated_bytes();
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// An array of `times` references to the object `leaf` makes in `list`.
ns::Data namedFrom(ListBuilder& list, size_t object, size_t times) {
    return list.bytes(list.container(0xA, std::vector<size_t>(times, object)));
}

// One object named from many places, as other writers name an equal value
// once: each reads as the value at every place, all places sharing one
// storage, within 128 bytes of memory a byte of the list (1 MB of
// references included), and writes back no larger than twice what was
// read. Only what truly takes more memory than that is refused: a long key
// copied into each dictionary that uses it.
TEST(Plist, AnObjectNamedFromManyPlacesIsReadOnceAndShared) {
    const std::string text100(100, 'z'), text72(72, 'y'), text2000(2000, 'x');
    ns::Data utf16;
    for (int i = 0; i < 100; ++i) utf16.insert(utf16.end(), {0x00, 0xE9});
    const ns::Data picture(4096, 0x5A);
    struct Shape {
        const char* what;
        std::function<size_t(ListBuilder&)> object;
        Value value;
    };
    const Shape shapes[] = {
        {"a 100-character text", [&](ListBuilder& l) { return l.leaf(ListBuilder::marked(0x5, 100, text100)); },
         Value(text100)},
        {"a 72-character text", [&](ListBuilder& l) { return l.leaf(ListBuilder::marked(0x5, 72, text72)); },
         Value(text72)},
        {"a UTF-16 text",
         [&](ListBuilder& l) {
             return l.leaf(ListBuilder::marked(0x6, 100, std::string_view((const char*)utf16.data(), utf16.size())));
         },
         Value([] {
             std::string e;
             for (int i = 0; i < 100; ++i) e += "\xc3\xa9";
             return e;
         }())},
        {"a 2000-byte text", [&](ListBuilder& l) { return l.leaf(ListBuilder::marked(0x5, 2000, text2000)); },
         Value(text2000)},
        {"a 4 KB picture",
         [&](ListBuilder& l) {
             return l.leaf(ListBuilder::marked(0x4, picture.size(), std::string(picture.begin(), picture.end())));
         },
         Value(picture)},
        {"a one-pair dictionary",
         [](ListBuilder& l) {
             const size_t k = l.leaf(ListBuilder::marked(0x5, 8, "currency")), v = l.leaf(ListBuilder::marked(0x5, 3, "B/."));
             return l.container(0xD, {k, v});
         },
         Value(ns::Dictionary{{"currency", Value("B/.")}})},
        {"an empty array", [](ListBuilder& l) { return l.leaf({0xA0}); }, Value(ns::Array{})},
        {"an empty dictionary", [](ListBuilder& l) { return l.leaf({0xD0}); }, Value(ns::Dictionary{})},
        {"[true]", [](ListBuilder& l) { return l.container(0xA, {l.leaf({0x09})}); }, Value(ns::Array{Value(true)})},
        {"[{}, {}, {}]", [](ListBuilder& l) { return l.container(0xA, std::vector<size_t>(3, l.leaf({0xD0}))); },
         Value(ns::Array(3, Value(ns::Dictionary{})))},
        {"a UID", [](ListBuilder& l) { return l.leaf({0x80, 0x07}); }, Value(ns::Dictionary{{"CF$UID", Value(7)}})},
        {"a real", [](ListBuilder& l) { return l.leaf({0x23, 0x40, 0x1C, 0, 0, 0, 0, 0, 0}); }, Value(7.0)},
    };
    for (const Shape& shape : shapes) {
        // 100,000 places and 1 MB of references for one shape: the bound
        // holds at that size too.
        const bool first = &shape == &shapes[0];
        for (size_t times : {size_t(1), size_t(2), size_t(802), size_t(20000), first ? size_t(100000) : 0,
                             first ? size_t(1000000) : 0}) {
            if (times == 0) continue;
            ListBuilder list;
            const ns::Data bytes = namedFrom(list, shape.object(list), times);
            const std::string what = std::string(shape.what) + ", " + std::to_string(times) + " times";
            ns::ErrorRef error;
            const size_t before = allocatedBytes();
            const Value v = ns::plist::parse(bytes, &error);
            const size_t held = allocatedBytes() - before;
            ASSERT_EQ(error, nullptr) << what << ": " << error->description();
            const ns::Array& items = v.asArray();
            ASSERT_EQ(items.size(), times) << what;
            EXPECT_EQ(items.front(), shape.value) << what;
            EXPECT_EQ(items.front().sharedStorage(), items.back().sharedStorage()) << what;
            EXPECT_LE(held, 128 * bytes.size()) << what;
            if (times <= 802) {
                EXPECT_EQ(v, Value(ns::Array(times, shape.value))) << what;
            }
            EXPECT_TRUE(std::all_of(items.begin(), items.end(), [&](const Value& item) {
                return item.sharedStorage() ? item.sharedStorage() == items.front().sharedStorage() : item == shape.value;
            })) << what;
            const ns::Data again = ns::plist::serialize(v, Format::Binary);
            EXPECT_LE(again.size(), 2 * bytes.size()) << what;
        }
    }
    // A browsing history of 40 distinct addresses, each visited many times.
    ListBuilder history;
    std::vector<size_t> urls, visits;
    for (int i = 0; i < 40; ++i) {
        const std::string url = "https://www.almavel.com.pa/productos/categoria-" + std::to_string(i) + "/pagina";
        urls.push_back(history.leaf(ListBuilder::marked(0x5, url.size(), url)));
    }
    for (int i = 0; i < 54000; ++i) visits.push_back(urls[size_t(i * 7) % urls.size()]);
    const ns::Data historyBytes = history.bytes(history.container(0xA, visits));
    const Value read = ns::plist::parse(historyBytes);
    ASSERT_EQ(read.asArray().size(), visits.size());
    EXPECT_LE(ns::plist::serialize(read, Format::Binary).size(), 2 * historyBytes.size());

    // 2,000 dictionaries each copying one 2,000-byte key: 4 MB from a list
    // of 18 KB.
    ListBuilder keys;
    const size_t key = keys.leaf(ListBuilder::marked(0x5, 2000, text2000)), item = keys.leaf({0x09});
    std::vector<size_t> dictionaries;
    for (int i = 0; i < 2000; ++i) dictionaries.push_back(keys.container(0xD, {key, item}));
    ns::ErrorRef error;
    EXPECT_TRUE(ns::plist::parse(keys.bytes(keys.container(0xA, dictionaries)), &error).isNull());
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), ns::plist::kReadCorruptError);
    EXPECT_NE(error->localizedDescription().find("bytes"), std::string::npos) << error->localizedDescription();
}

// The writer names an equal text, data, number, date or UID once, and a
// container several places share once, however each was made: what it
// writes grows by a reference a place, not by the value.
TEST(Plist, TheWriterStoresEqualValuesOnce) {
    const size_t times = 5000;
    const std::string text(300, 't');
    const struct {
        const char* what;
        std::function<Value()> make;  // a new value each call, sharing nothing
    } shapes[] = {
        {"text", [&] { return Value(std::string(text)); }},
        {"data", [] { return Value(ns::Data(300, 1)); }},
        {"integer", [] { return Value(int64_t(1) << 40); }},
        {"unsigned", [] { return Value(std::numeric_limits<uint64_t>::max()); }},
        {"real", [] { return Value(2.5); }},
        {"date", [] { return Value(ns::Date{1700000000.25}); }},
        {"dictionary", [] { return Value(ns::Dictionary{{"k", Value(1)}}); }},
    };
    for (const auto& shape : shapes) {
        ns::Array made, copied;
        const Value one = shape.make();
        for (size_t i = 0; i < times; ++i) {
            made.push_back(shape.make());
            copied.push_back(one);
        }
        const ns::Data fromMade = ns::plist::serialize(Value(made), Format::Binary);
        const ns::Data fromCopies = ns::plist::serialize(Value(copied), Format::Binary);
        // A 2-byte reference a place, an offset for the leaves that are not
        // shared, the trailer, and the value once.
        const bool sharedByValue = !Value(one).isDictionary();
        EXPECT_LE(fromCopies.size(), times * 2 + 400) << shape.what;
        if (sharedByValue) {
            EXPECT_LE(fromMade.size(), times * 2 + 400) << shape.what;
        }
        EXPECT_EQ(ns::plist::parse(fromMade), Value(made)) << shape.what;
        EXPECT_EQ(ns::plist::parse(fromCopies), Value(copied)) << shape.what;
    }
    // -0.0 and 0.0, 1 and 1.0, true and 1 are different objects.
    const Value mixed(ns::Array{Value(0.0), Value(-0.0), Value(1), Value(1.0), Value(true), Value(1)});
    const Value back = ns::plist::parse(ns::plist::serialize(mixed, Format::Binary));
    EXPECT_TRUE(std::signbit(back.asArray()[1].asDouble()));
    EXPECT_FALSE(std::signbit(back.asArray()[0].asDouble()));
    EXPECT_EQ(back.asArray()[2].type(), Value::Type::Int);
    EXPECT_EQ(back.asArray()[3].type(), Value::Type::Double);
    EXPECT_TRUE(back.asArray()[4].isBool());
}

// Long arrays read, write and read again in one pass over their items (a
// walk that found each item from the array's start would take hours here).
TEST(Plist, LongArraysReadInOnePass) {
    ListBuilder list;
    const size_t item = list.leaf({0x09});
    std::string xml = "<plist><array>";
    for (int i = 0; i < 300000; ++i) xml += "<true/>";
    const struct {
        const char* what;
        ns::Data bytes;
        size_t items;
    } cases[] = {
        {"binary", list.bytes(list.container(0xA, std::vector<size_t>(500000, item))), 500000},
        {"XML", bytesOf(xml + "</array></plist>"), 300000},
    };
    for (const auto& c : cases) {
        ns::ErrorRef error;
        const Value v = ns::plist::parse(c.bytes, &error);
        ASSERT_EQ(error, nullptr) << c.what << ": " << error->description();
        ASSERT_EQ(v.asArray().size(), c.items) << c.what;
        EXPECT_EQ(roundTrip(v, Format::Binary).asArray().size(), c.items) << c.what;
        EXPECT_EQ(roundTrip(v, Format::XML).asArray().size(), c.items) << c.what;
    }
}

// djb2 over signed characters, in 4,096 buckets: how the format library
// hashes nodes and keys, so that these lists fill one of its buckets.
unsigned bucketOf(std::string_view bytes, unsigned seed) {
    unsigned hash = seed;
    for (char c : bytes) hash = hash * 33 + unsigned(int(int8_t(c)));
    return hash & 0xFFF;
}

// `count` keys of bucket 0: a prefix, two letters, and a last letter or
// digit solved for.
std::vector<std::string> keysOfOneBucket(size_t count) {
    std::vector<std::string> keys;
    for (size_t i = 0; keys.size() < count; ++i) {
        const std::string prefix = "k" + std::to_string(i);
        const unsigned h = bucketOf(prefix, 5381);
        for (unsigned a = 'a', found = 0; a <= 'z' && !found; ++a) {
            for (unsigned b = 'a'; b <= 'z' && !found; ++b) {
                const unsigned last = (0x1000 - ((h * 33 + a) * 33 + b) * 33 % 0x1000) % 0x1000;
                if (last >= 0x80 || !std::isalnum(int(last))) continue;
                keys.push_back(prefix + char(a) + char(b) + char(last));
                found = 1;
            }
        }
    }
    return keys;
}

// `count` integers whose eight little-endian bytes hash to bucket 0: the
// high six bytes from a counter, the low two solved for. The lowest byte
// comes first and is multiplied by 33^7, which is odd and so has an
// inverse modulo 4,096.
std::vector<uint64_t> integersOfOneBucket(size_t count) {
    unsigned c6 = 1, inverse7 = 1;
    for (int i = 0; i < 6; ++i) c6 = c6 * 33 % 0x1000;
    const unsigned c7 = c6 * 33 % 0x1000;
    while (c7 * inverse7 % 0x1000 != 1) inverse7 += 2;
    std::vector<uint64_t> out;
    for (uint64_t high = 1; out.size() < count; ++high) {
        std::string le(8, '\0');
        for (int k = 2; k < 8; ++k) le[size_t(k)] = char(high >> (8 * (k - 2)));
        const unsigned zeroLow = bucketOf(le, 5381 + 2);  // the bucket with both low bytes 0
        for (int b1 = -128; b1 < 128; ++b1) {
            const unsigned rest = (zeroLow + unsigned(b1 + 4096) * c6) % 0x1000;
            const unsigned b0 = (0x1000 - rest) * inverse7 % 0x1000;  // as a residue
            if (b0 >= 128 && b0 < 0x1000 - 128) continue;
            out.push_back(high << 16 | uint64_t(uint8_t(b1)) << 8 | uint8_t(b0 & 0xFF));
            break;
        }
    }
    return out;
}

// Inputs that pile into one bucket of a hash table, or that make a text or
// a dictionary be moved once per entity or repeat, read and write back in
// one pass (each would take the format library many minutes: its binary
// writer keeps every node, and its dictionaries their keys, in 4,096
// buckets).
TEST(Plist, ShapesThatCollideInHashTablesReadAndWriteInOnePass) {
    ListBuilder integers;
    std::vector<size_t> items;
    for (uint64_t v : integersOfOneBucket(300000)) {
        ns::Data d{0x13};
        for (int k = 7; k >= 0; --k) d.push_back(uint8_t(v >> (8 * k)));
        items.push_back(integers.leaf(std::move(d)));
    }
    ListBuilder keys;
    std::string keysXML = "<plist><dict>";
    std::vector<size_t> refs;
    const size_t item = keys.leaf({0x09});
    for (const std::string& key : keysOfOneBucket(150000)) {
        refs.push_back(keys.leaf(ListBuilder::marked(0x5, key.size(), key)));
        keysXML += "<key>" + key + "</key><true/>";
    }
    refs.resize(2 * refs.size(), item);
    std::string repeated = "<plist><dict>";
    for (int i = 0; i < 150000; ++i) repeated += "<key>k" + std::to_string(i) + "</key><true/>";
    for (int i = 0; i < 150000; ++i) repeated += "<key>k149999</key><false/>";
    std::string entities = "<plist><string>";
    for (int i = 0; i < 3000000; ++i) entities += "&amp;";
    const struct {
        const char* what;
        ns::Data bytes;
        size_t entries;  // of the array or dictionary, or the string's length
    } cases[] = {
        {"integers", integers.bytes(integers.container(0xA, items)), 300000},
        {"keys (binary)", keys.bytes(keys.container(0xD, refs)), 150000},
        {"keys (XML)", bytesOf(keysXML + "</dict></plist>"), 150000},
        {"one key repeated", bytesOf(repeated + "</dict></plist>"), 150000},
        {"entities", bytesOf(entities + "</string></plist>"), 3000000},
    };
    auto entries = [](const Value& v) {
        return v.isString() ? v.asString().size() : v.isArray() ? v.asArray().size() : v.asDictionary().size();
    };
    for (const auto& c : cases) {
        ns::ErrorRef error;
        const Value v = ns::plist::parse(c.bytes, &error);
        ASSERT_EQ(error, nullptr) << c.what << ": " << error->description();
        EXPECT_EQ(entries(v), c.entries) << c.what;
        EXPECT_EQ(entries(roundTrip(v, Format::Binary)), c.entries) << c.what;
    }
}

// The format library's reading of a list, as our values (a UID as the
// dictionary it reads as); null for what has no value form.
Value libraryValue(plist_t node) {
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            uint8_t b = 0;
            plist_get_bool_val(node, &b);
            return Value(b != 0);
        }
        case PLIST_UINT: {
            uint64_t u = 0;
            plist_get_uint_val(node, &u);
            return Value(int64_t(u));  // compared by value: kinds of integer aside
        }
        case PLIST_REAL: {
            double d = 0;
            plist_get_real_val(node, &d);
            return Value(d);
        }
        case PLIST_STRING: {
            uint64_t length = 0;
            const char* p = plist_get_string_ptr(node, &length);
            return Value(std::string(p, size_t(length)));
        }
        case PLIST_DATA: {
            uint64_t length = 0;
            const char* p = plist_get_data_ptr(node, &length);
            return Value(ns::Data(p, p + length));
        }
        case PLIST_UID: {
            uint64_t u = 0;
            plist_get_uid_val(node, &u);
            return Value(ns::Dictionary{{"CF$UID", Value(int64_t(u))}});
        }
        case PLIST_ARRAY: {
            ns::Array items;
            for (uint32_t i = 0, n = plist_array_get_size(node); i < n; ++i) {
                items.push_back(libraryValue(plist_array_get_item(node, i)));
            }
            return Value(std::move(items));
        }
        case PLIST_DICT: {
            ns::Dictionary entries;
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(node, &it);
            for (;;) {
                char* key = nullptr;
                plist_t item = nullptr;
                plist_dict_next_item(node, it, &key, &item);
                if (!item) break;
                entries.emplace(key, libraryValue(item));
                free(key);
            }
            free(it);
            return Value(std::move(entries));
        }
        default: return Value();
    }
}

// Other readers of our files use the format library: whatever we write in
// either form it reads as the same value, and what it wrote (every list
// stored before ours were written here) we read as it does.
TEST(Plist, ListsReadAndWrittenAsTheFormatLibraryDoes) {
    const Value values[] = {
        Value(ns::Dictionary{{"int", -12},
                             {"big", std::numeric_limits<int64_t>::max()},
                             {"real", 0.1},
                             {"text", "caf\xC3\xA9 \xF0\x9F\x98\x80 & <tags>"},
                             {"empty", ""},
                             {"data", ns::Data{0, 1, 2, 255}},
                             {"flags", ns::Array{Value(true), Value(false)}},
                             {"nested", ns::Dictionary{{"list", ns::Array{Value(ns::Array{}), Value(ns::Dictionary{})}}}}}),
        Value(ns::Array(300, Value("a text shared from many places"))),
        Value(ns::Array{Value(std::string(20, 'x')), Value(int64_t(70000)), Value(int64_t(1) << 40), Value(1.5)}),
    };
    for (const Value& v : values) {
        for (Format f : {Format::Binary, Format::XML}) {
            const ns::Data ours = ns::plist::serialize(v, f);
            plist_t node = nullptr;
            if (f == Format::Binary) {
                plist_from_bin(reinterpret_cast<const char*>(ours.data()), uint32_t(ours.size()), &node);
            } else {
                plist_from_xml(reinterpret_cast<const char*>(ours.data()), uint32_t(ours.size()), &node);
            }
            ASSERT_NE(node, nullptr);
            EXPECT_EQ(libraryValue(node), v) << v.description();
            // The library's own binary form of the same list reads as it.
            char* theirs = nullptr;
            uint32_t length = 0;
            plist_to_bin(node, &theirs, &length);
            plist_free(node);
            EXPECT_EQ(ns::plist::parse(ns::Data(theirs, theirs + length)), v) << v.description();
            free(theirs);
        }
    }
    // An archive's references are the format's UIDs.
    const ns::Data archive = ns::keyed_archive::archiveRoot("Record", ns::Dictionary{{"m", Value("x")}});
    plist_t node = nullptr;
    plist_from_bin(reinterpret_cast<const char*>(archive.data()), uint32_t(archive.size()), &node);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(plist_get_node_type(plist_dict_get_item(plist_dict_get_item(node, "$top"), "root")), PLIST_UID);
    plist_free(node);
}

}  // namespace
