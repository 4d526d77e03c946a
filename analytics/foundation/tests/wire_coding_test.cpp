#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "analytics/QRVAWire.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(WireCoding, VarintsAreWrittenShortestAndReadAsTheDecoderReadsThem) {
    constexpr uint64_t kTop = uint64_t(1) << 63;
    const struct {
        Bytes bytes;
        std::optional<uint64_t> decoded;  // nullopt: refused
        bool shortest;                    // the encoder's own form of `decoded`
    } cases[] = {
        {{0x00}, 0, true},
        {{0x7F}, 127, true},
        {{0x80, 0x01}, 128, true},
        {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}, kTop, true},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, ~uint64_t(0), true},
        {{0x81, 0x00}, 1, false},                                                   // padded with a zero group
        {{0x80}, std::nullopt, false},                                              // cut short
        {{}, std::nullopt, false},                                                  // nothing
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02}, std::nullopt, false},  // past 64 bits
        {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00}, std::nullopt, false},  // eleven bytes
    };
    for (const auto& c : cases) {
        const std::string label = ::testing::PrintToString(c.bytes);
        uint64_t value = 0;
        const uint8_t* p = c.bytes.data();
        const bool read = qrvawire::readVarint(p, c.bytes.data() + c.bytes.size(), value);
        ASSERT_EQ(read, c.decoded.has_value()) << label;
        const uint8_t* q = c.bytes.data();
        EXPECT_EQ(qrvawire::readShortestVarint(q, c.bytes.data() + c.bytes.size(), value), c.shortest) << label;
        if (!read) continue;
        EXPECT_EQ(value, *c.decoded) << label;
        EXPECT_EQ(p, c.bytes.data() + c.bytes.size()) << label;
        if (!c.shortest) continue;
        Bytes written;
        qrvawire::appendVarint(written, value);
        EXPECT_EQ(written, c.bytes) << label;
        EXPECT_EQ(qrvawire::varintSize(value), c.bytes.size()) << label;
    }
}

TEST(WireCoding, FieldsArePlacedAfterTheLowerVarintsAndSplicedIn) {
    // protocol_version 5, then app_id "a": the events go between them.
    const Bytes head = {0x08, 0x05, 0x72, 0x01, 'a'};
    const struct {
        Bytes bytes;
        std::optional<size_t> place;
    } cases[] = {
        {head, 2},
        {{}, 0},
        {{0x72, 0x01, 'a'}, 0},
        {{0x08, 0x80, 0x01}, 3},
        {{0x09, 0, 0, 0, 0, 0, 0, 0, 0}, std::nullopt},  // tag 1 but not a varint
        {{0x08, 0x80}, std::nullopt},                    // cut short
    };
    for (const auto& c : cases) {
        EXPECT_EQ(qrvawire::placeAfterVarintFields(c.bytes, qrvanalytics_MeasurementBundle_events_tag), c.place)
            << ::testing::PrintToString(c.bytes);
    }
    Bytes event, out = {0xEE};
    qrvawire::appendDelimited(event, qrvawire::kBundleEvents, "e");
    const Bytes tail = {0x7A};
    qrvawire::appendSpliced(out, head, {{2, event}, {5, tail}});
    EXPECT_EQ(out, (Bytes{0xEE, 0x08, 0x05, 0x12, 0x01, 'e', 0x72, 0x01, 'a', 0x7A}));
}

}  // namespace
