#include "platform/toolbox.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include "platform/crypto.h"

namespace {

ns::Data text(std::string_view s) { return ns::Data(s.begin(), s.end()); }

ns::Data zlibCompress(const ns::Data& in) {
    uLongf len = compressBound(uLong(in.size()));
    ns::Data out(len);
    EXPECT_EQ(compress2(out.data(), &len, in.data(), uLong(in.size()), 6), Z_OK);
    out.resize(len);
    return out;
}

}  // namespace

TEST(ToolboxGzip, RoundTripKeepsEveryByte) {
    ns::Data compressible;
    for (int i = 0; i < 5000; ++i) {
        std::string line = "line " + std::to_string(i) + " of a repetitive payload\n";
        compressible.insert(compressible.end(), line.begin(), line.end());
    }
    ns::Data random = ns::crypto::randomBytes(100000);
    for (const ns::Data& input : {compressible, random, text("x")}) {
        ns::ErrorRef error;
        ns::Data gz = htk_dataByGzippingData(input, &error);
        ASSERT_FALSE(error);
        ASSERT_GE(gz.size(), 18u);
        // gzip magic, deflate method, and ISIZE (input size mod 2^32) in the trailer.
        EXPECT_EQ(gz[0], 0x1f);
        EXPECT_EQ(gz[1], 0x8b);
        EXPECT_EQ(gz[2], 8);
        uint32_t isize = gz[gz.size() - 4] | gz[gz.size() - 3] << 8 | gz[gz.size() - 2] << 16 |
                         uint32_t(gz[gz.size() - 1]) << 24;
        EXPECT_EQ(isize, uint32_t(input.size()));
        ns::Data back = htk_dataByInflatingData(gz, &error);
        ASSERT_FALSE(error);
        EXPECT_EQ(back, input);
    }
    EXPECT_LT(htk_dataByGzippingData(compressible, nullptr).size(), compressible.size() / 5);
}

TEST(ToolboxGzip, EmptyInputs) {
    ns::ErrorRef error;
    ns::Data gz = htk_dataByGzippingData({}, &error);
    EXPECT_FALSE(error);
    EXPECT_EQ(gz.size(), 20u);  // header, empty deflate block, trailer
    EXPECT_TRUE(htk_dataByInflatingData(gz, &error).empty());
    EXPECT_FALSE(error);
    EXPECT_TRUE(htk_dataByInflatingData({}, &error).empty());
    EXPECT_FALSE(error);
}

TEST(ToolboxGzip, InflatesZlibAndConcatenatedGzip) {
    ns::ErrorRef error;
    EXPECT_EQ(htk_dataByInflatingData(zlibCompress(text("zlib wrapped")), &error), text("zlib wrapped"));
    EXPECT_FALSE(error);

    ns::Data two = htk_dataByGzippingData(text("first,"), nullptr);
    ns::Data second = htk_dataByGzippingData(text("second"), nullptr);
    two.insert(two.end(), second.begin(), second.end());
    EXPECT_EQ(htk_dataByInflatingData(two, &error), text("first,second"));
    EXPECT_FALSE(error);
}

TEST(ToolboxGzip, CorruptInputGivesEmptyDataAndError) {
    ns::Data good = htk_dataByGzippingData(text(std::string(1000, 'a') + "tail"), nullptr);

    ns::Data flipped = good;
    flipped[good.size() / 2] ^= 0xff;
    ns::Data badCrc = good;
    badCrc[good.size() - 6] ^= 0x01;
    ns::Data truncated(good.begin(), good.begin() + long(good.size() - 5));
    ns::Data garbageAfter = good;
    garbageAfter.push_back('!');

    for (const ns::Data& bad : {flipped, badCrc, truncated, garbageAfter, text("plain text, not compressed"),
                                ns::Data{0x1f, 0x8b}}) {
        ns::ErrorRef error;
        EXPECT_TRUE(htk_dataByInflatingData(bad, &error).empty());
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), kHTKToolboxErrorDomain);
        EXPECT_LT(error->code(), 0);  // a zlib error code
    }
    // A null error pointer is allowed.
    EXPECT_TRUE(htk_dataByInflatingData(flipped, nullptr).empty());
}

TEST(ToolboxGzip, OutputCapStopsDecompressionBombs) {
    // A stream of zeros just over the cap, compressed piecewise (a few
    // hundred KiB), must be refused rather than inflated.
    z_stream zs{};
    ASSERT_EQ(deflateInit2(&zs, 9, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY), Z_OK);
    ns::Data zeros(1 << 20, 0);
    ns::Data bomb;
    ns::Data chunk(1 << 16);
    size_t pieces = kHTKToolboxMaxInflatedSize / zeros.size() + 1;
    for (size_t i = 0; i < pieces; ++i) {
        zs.next_in = zeros.data();
        zs.avail_in = uInt(zeros.size());
        int flush = i + 1 == pieces ? Z_FINISH : Z_NO_FLUSH;
        do {
            zs.next_out = chunk.data();
            zs.avail_out = uInt(chunk.size());
            deflate(&zs, flush);
            bomb.insert(bomb.end(), chunk.data(), chunk.data() + (chunk.size() - zs.avail_out));
        } while (zs.avail_out == 0);
    }
    deflateEnd(&zs);
    ASSERT_LT(bomb.size(), size_t(2) << 20);

    ns::ErrorRef error;
    EXPECT_TRUE(htk_dataByInflatingData(bomb, &error).empty());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), kHTKToolboxErrorDomain);
    EXPECT_EQ(error->code(), kHTKToolboxErrorOutputTooLarge);
}
