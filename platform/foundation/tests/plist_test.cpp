#include "platform/plist.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <cmath>
#include <limits>
#include <vector>

#include "platform/crypto.h"
#include "platform/file_manager.h"
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

// The library copies an object at each place it is referred to from, so
// shared references are bounded by what they expand into, not only depth.
TEST(Plist, SharedReferencesExpandWithinABoundSetByTheListsSize) {
    const ns::Data found = *ns::crypto::base64Decode(
        "YnBsaXN0MDCiAQGiAgKiAwOiBASiBQWiBgaiBweiCAiiCQmiCgqiCwuiDAyiDQ2iDg6iDw+iEBCiERGiEhIQAQgLDhEUFxodICMmKSwvMjU4"
        "Oz4AAAAAAAABAQAAAAAAAAATAAAAAAAAAAAAAAAAAAAAQA==");
    for (const ns::Data& bad : {found, doublingList(8), doublingList(40), doublingList(60)}) {
        ns::ErrorRef error;
        EXPECT_TRUE(ns::plist::parse(bad, &error).isNull());
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->code(), ns::plist::kReadCorruptError);
        EXPECT_NE(error->localizedDescription().find("too many objects"), std::string::npos)
            << error->localizedDescription();
    }
    // A little sharing still reads, copied at each place.
    ns::ErrorRef error;
    const Value shallow = ns::plist::parse(doublingList(4), &error);
    ASSERT_EQ(error, nullptr) << error->description();
    EXPECT_EQ(shallow.asArray()[1].asArray()[0].asArray()[1], Value(ns::Array{Value(true), Value(true)}));

    // The writer shares equal leaves: thousands of references to one string
    // and one UID-like dictionary read back whole.
    ns::Array many(5000, Value("same"));
    many.push_back(Value(ns::Dictionary{{"CF$UID", Value(7)}}));
    const Value wide(ns::Dictionary{{"list", many}, {"again", many}});
    EXPECT_EQ(roundTrip(wide, Format::Binary), wide);
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

}  // namespace
