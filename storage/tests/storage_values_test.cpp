// Storage paths, URL building, the error table and metadata: pure values,
// no network.

#include <gtest/gtest.h>

#include "platform/error.h"
#include "storage/QRVStorageErrors.h"
#include "storage/QRVStorageMetadata.h"
#include "storage/QRVStoragePath.h"
#include "storage/QRVStorageUtils.h"

namespace {

std::string raisedReason(const std::function<void()>& call, std::string* name = nullptr) {
    try {
        call();
    } catch (const ns::Exception& e) {
        if (name) *name = e.name();
        return e.reason();
    }
    return "(nothing raised)";
}

}  // namespace

TEST(StoragePathTest, StringsParseIntoBucketAndStandardObject) {
    struct Case {
        const char* text;
        const char* bucket;
        std::optional<std::string> object;
        const char* stringValue;
    };
    const Case cases[] = {
        {"vbk://bucket/a//b/", "bucket", "a/b", "vbk://bucket/a/b"},
        {"vbk://bucket", "bucket", std::nullopt, "vbk://bucket/"},
        {"vbk://bucket/", "bucket", std::nullopt, "vbk://bucket/"},
        {"vbk://b/products/1234.jpg\nignored", "b", "products/1234.jpg", "vbk://b/products/1234.jpg"},
        {"https://quorvanestorage.quorvaneapis.com/v0/b/b/o/products%2F1234.jpg?alt=media&token=t", "b",
         "products/1234.jpg", "vbk://b/products/1234.jpg"},
        {"http://quorvanestorage.quorvaneapis.com/v0/b/b/o", "b", std::nullopt, "vbk://b/"},
    };
    for (const auto& c : cases) {
        QRVStoragePath path = QRVStoragePath::pathFromString(c.text);
        EXPECT_EQ(path.bucket(), c.bucket) << c.text;
        EXPECT_EQ(path.object(), c.object) << c.text;
        EXPECT_EQ(path.stringValue(), c.stringValue) << c.text;
    }
}

TEST(StoragePathTest, MalformedLocationsRaiseWithTheirMessages) {
    std::string name;
    EXPECT_EQ(raisedReason([] { QRVStoragePath::pathFromString("ftp://bucket/x"); }, &name),
              "URL scheme must be one of vbk://, http://, or https:// ");
    EXPECT_EQ(name, ns::kInternalInconsistencyException);
    EXPECT_EQ(raisedReason([] { QRVStoragePath::pathFromVBKURI("vbk:///x"); }),
              "URI must be in the form of vbk://<bucket>/<path/to/object>");
    EXPECT_EQ(raisedReason([] { QRVStoragePath::pathFromHTTPURL("https://elsewhere.example/v0/b/b/o/x"); }),
              "URL must be in the form of http[s]://quorvanestorage.quorvaneapis.com/v0/b/<bucket>/o/"
              "<path/to/object>[?token=signed_url_params]");
}

TEST(StoragePathTest, NavigationKeepsTheBucket) {
    QRVStoragePath x("b", "x");
    EXPECT_EQ(x.child(""), x);
    EXPECT_EQ(x.child("a/b").object(), "x/a/b");
    EXPECT_EQ(x.root().child("a//b").object(), "a/b");
    EXPECT_FALSE(x.root().parent());
    ASSERT_TRUE(x.parent());
    EXPECT_EQ(x.parent()->object(), "");
    EXPECT_FALSE(x.parent()->parent());
    EXPECT_EQ(QRVStoragePath("b", "p/q/r").parent()->object(), "p/q");
    EXPECT_EQ(QRVStoragePath("b", "a//b"), QRVStoragePath("b", "a/b"));
    EXPECT_EQ(QRVStoragePath("b", "a//b").hash(), QRVStoragePath("b", "a/b").hash());
    EXPECT_FALSE(QRVStoragePath("b", std::nullopt) == QRVStoragePath("b", ""));
}

TEST(StorageUtilsTest, EscapingAndURLs) {
    EXPECT_EQ(QRVStorageUtils::WBNEscapedString("a/b c%d&e+f?g=h~!$'()*,;:@"), "a%2Fb%20c%25d%26e%2Bf%3Fg=h~!$'()*,;:@");
    EXPECT_EQ(QRVStorageUtils::WBNEscapedString("ñ"), "%C3%B1");
    EXPECT_EQ(QRVStorageUtils::encodedURLForPath(QRVStoragePath("b", "products/1234.jpg")),
              "/v0/b/b/o/products%2F1234.jpg");
    EXPECT_EQ(QRVStorageUtils::encodedURLForPath(QRVStoragePath("b", std::nullopt)), "/v0/b/b/o");
    EXPECT_EQ(QRVStorageUtils::defaultRequestForPath(QRVStoragePath("b", "x y")).URL(),
              "https://quorvanestorage.quorvaneapis.com/v0/b/b/o/x%20y");
    std::string query = QRVStorageUtils::queryStringForDictionary(
        std::map<std::string, std::string>{{"uploadType", "resumable"}, {"name", "profiles/u1.jpg"}});
    EXPECT_TRUE(query == "uploadType=resumable&name=profiles%2Fu1.jpg" ||
                query == "name=profiles%2Fu1.jpg&uploadType=resumable")
        << query;
    EXPECT_EQ(QRVStorageUtils::queryStringForDictionary(std::nullopt), "");
    EXPECT_EQ(QRVStorageUtils::MIMETypeForExtension("jpg"), "image/jpeg");
    EXPECT_EQ(QRVStorageUtils::MIMETypeForExtension("JPG"), "image/jpeg");
    EXPECT_EQ(QRVStorageUtils::MIMETypeForExtension(std::nullopt), std::nullopt);
    EXPECT_EQ(QRVStorageUtils::MIMETypeForExtension("no-such-extension"), std::nullopt);
}

TEST(StorageErrorsTest, MessagesPerCode) {
    struct Case {
        long code;
        ns::Dictionary info;
        std::string message;
    };
    const Case cases[] = {
        {-13000, {}, "An unknown error occurred, please check the server response."},
        {-13010, {{"object", "a/b.jpg"}}, "Object a/b.jpg does not exist."},
        {-13011, {{"bucket", "b"}}, "Bucket b does not exist."},
        {-13012, {{"project", "p"}}, "Project p does not exist."},
        {-13013, {{"bucket", "b"}}, "Quota for bucket b exceeded, please view quota on console.quorvane.com."},
        {-13015, {}, "An unknown error occurred, please check the server response."},
        {-13020, {}, "User is not authenticated, please authenticate using Quorvane Authentication and try again."},
        {-13021, {{"bucket", "b"}, {"object", "o"}}, "User does not have permission to access vbk://b/o."},
        {-13030, {}, "Max retry time for operation exceeded, please try again."},
        {-13031, {},
         "Uploaded/downloaded object object has checksum: client checksum which does not match server checksum: "
         "server checksum. Please retry the upload/download."},
        {-13032, {{"totalSize", 2000000}, {"maxAllowedSize", 1048576}},
         "Attempeted to download object with size of 2000000 bytes, which exceeds the maximum size of 1048576 bytes. "
         "Consider raising the maximum download size, or using [QRVStorageReference writeToFile:]"},
        {-13032, {{"totalSize", 0}, {"maxAllowedSize", 1048576}},
         "Attempeted to download object with size of unknown bytes, which exceeds the maximum size of unknown "
         "bytes. Consider raising the maximum download size, or using [QRVStorageReference writeToFile:]"},
        {-13040, {}, "User cancelled the upload/download."},
        {42, {}, "An unknown error occurred, please check the server response."},
    };
    for (const auto& c : cases) {
        ns::ErrorRef error = QRVStorageErrors::errorWithCode(c.code, c.info);
        EXPECT_EQ(error->domain(), "QRVStorageErrorDomain");
        EXPECT_EQ(error->code(), c.code);
        EXPECT_EQ(error->localizedDescription(), c.message) << c.code;
    }
}

TEST(StorageErrorsTest, ServerErrorsMapByStatusAndKeepTheAnswer) {
    EXPECT_EQ(QRVStorageErrors::errorWithServerError(nullptr, nullptr), nullptr);
    struct Case {
        long status;
        long code;
    };
    const Case cases[] = {{400, -13000}, {401, -13020}, {402, -13013}, {403, -13021},
                          {404, -13010}, {500, -13000}, {-1009, -13000}};
    for (const auto& c : cases) {
        std::string body = R"({"error":{"code":)" + std::to_string(c.status) + "}}";
        auto server = ns::Error::make("com.htk.HTTPStatus", c.status,
                                      ns::Dictionary{{"data", ns::Data(body.begin(), body.end())}});
        ns::ErrorRef error = QRVStorageErrors::errorWithServerError(server, nullptr);
        EXPECT_EQ(error->code(), c.code) << c.status;
        EXPECT_EQ(error->userInfo().at("ResponseErrorCode").intValue(), c.status);
        EXPECT_EQ(error->userInfo().at("ResponseErrorDomain").asString(), "com.htk.HTTPStatus");
        EXPECT_EQ(error->userInfo().at("ResponseBody").asString(), body);
    }
    auto binary = ns::Error::make("com.htk.HTTPStatus", 500, ns::Dictionary{{"data", ns::Data{0xff, 0xfe}}});
    EXPECT_EQ(QRVStorageErrors::errorWithServerError(binary, nullptr)->userInfo().at("ResponseBody").asString(),
              "No Response from Server.");
}

TEST(StorageMetadataTest, ReadsTheServiceJSON) {
    ns::Dictionary json{{"bucket", "b"},
                        {"name", "products/1234.jpg"},
                        {"size", "2048"},
                        {"generation", "17"},
                        {"metageneration", 3},
                        {"contentType", "image/jpeg"},
                        {"metadata", ns::Dictionary{{"owner", "ana"}}},
                        {"timeCreated", "2026-12-07T13:04:33.123Z"},
                        {"updated", "not a date"},
                        {"downloadTokens", "t1,t2"}};
    QRVStorageMetadata metadata(json);
    EXPECT_EQ(metadata.path(), "products/1234.jpg");
    EXPECT_EQ(metadata.name(), "1234.jpg");
    EXPECT_EQ(metadata.size(), 2048);
    EXPECT_EQ(metadata.generation(), 17);
    EXPECT_EQ(metadata.metageneration(), 3);
    EXPECT_EQ(metadata.customMetadata()->at("owner"), "ana");
    ASSERT_TRUE(metadata.timeCreated());
    EXPECT_DOUBLE_EQ(metadata.timeCreated()->secondsSince1970, 1796648673.123);
    EXPECT_FALSE(metadata.updated());
    ASSERT_TRUE(metadata.downloadURLs());
    EXPECT_EQ(*metadata.downloadURLs(),
              (std::vector<std::string>{
                  "https://quorvanestorage.quorvaneapis.com/v0/b/b/o/products%2F1234.jpg?alt=media&token=t1",
                  "https://quorvanestorage.quorvaneapis.com/v0/b/b/o/products%2F1234.jpg?alt=media&token=t2"}));
    EXPECT_EQ(metadata.downloadURL(), metadata.downloadURLs()->front());

    ns::Dictionary out = metadata.dictionaryRepresentation();
    EXPECT_EQ(out.at("downloadTokens").asString(), "t1,t2");
    EXPECT_EQ(out.at("generation").asString(), "17");
    EXPECT_EQ(out.at("metageneration").asString(), "3");
    EXPECT_EQ(out.at("timeCreated").asString(), "2026-12-07T13:04:33.123Z");
    EXPECT_EQ(out.at("name").asString(), "products/1234.jpg");
    EXPECT_FALSE(out.contains("size"));
    EXPECT_FALSE(out.contains("updated"));
}

TEST(StorageMetadataTest, EqualityCopiesAndDates) {
    ns::Dictionary a{{"name", "x"}, {"size", 1}, {"generation", 0}};
    ns::Dictionary b{{"name", "x"}, {"size", 2}};
    QRVStorageMetadata first(a), second(b);
    EXPECT_TRUE(first.isEqual(second));
    EXPECT_EQ(first.hash(), second.hash());
    EXPECT_FALSE(first.dictionaryRepresentation().contains("generation"));

    first.setType(QRVStorageMetadataTypeFile);
    auto copy = first.copy();
    EXPECT_TRUE(copy->isEqual(first));
    EXPECT_EQ(copy->size(), 0);
    EXPECT_EQ(copy->type(), QRVStorageMetadataTypeUnknown);
    EXPECT_TRUE(QRVStorageMetadata().dictionaryRepresentation().empty());

    const auto& formatter = QRVStorageMetadata::dateFormatter();
    for (double seconds : {0.0, 1796648673.123, 951782400.5, -86400.25}) {
        std::string text = formatter.stringFromDate(ns::Date{seconds});
        EXPECT_EQ(text.back(), 'Z') << text;
        auto back = formatter.dateFromString(text);
        ASSERT_TRUE(back) << text;
        EXPECT_NEAR(back->secondsSince1970, seconds, 0.0005) << text;
    }
    EXPECT_FALSE(formatter.dateFromString("2026-12-07 13:04:33"));
}
