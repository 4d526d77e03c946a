#pragma once
// A storage location: a bucket and an object name inside it (none for the
// bucket root). A plain value, usable from any thread.
//
// The object name is standardised when the path is made: split on "/",
// empty pieces dropped, joined again ("a//b/" is "a/b"); an empty name stays
// empty and no name stays none.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

class QRVStoragePath {
public:
    QRVStoragePath(std::string bucket, std::optional<std::string> object);

    // "vbk://", "http://" and "https://" strings; anything else raises
    // NSInternalInconsistencyException "URL scheme must be one of vbk://,
    // http://, or https:// ".
    static QRVStoragePath pathFromString(std::string_view string);
    // "vbk://<bucket>/<object>"; raises NSInternalInconsistencyException
    // "URI must be in the form of vbk://<bucket>/<path/to/object>" without a bucket.
    static QRVStoragePath pathFromVBKURI(std::string_view string);
    // "http[s]://<storage host>/v0/b/<bucket>/o/<object>"; raises
    // NSInternalInconsistencyException naming that form without a bucket.
    static QRVStoragePath pathFromHTTPURL(std::string_view string);

    const std::string& bucket() const { return bucket_; }
    const std::optional<std::string>& object() const { return object_; }

    // The relative path appended as components; an empty string gives a copy.
    QRVStoragePath child(std::string_view path) const;
    // nullopt at the root (no or empty object).
    std::optional<QRVStoragePath> parent() const;
    QRVStoragePath root() const { return QRVStoragePath(bucket_, std::nullopt); }

    // "vbk://<bucket>/<object>" (the root ends in a single "/").
    std::string stringValue() const;
    // "QRVStoragePath <address>: <stringValue>".
    std::string description() const;

    friend bool operator==(const QRVStoragePath& a, const QRVStoragePath& b) {
        return a.bucket_ == b.bucket_ && a.object_ == b.object_;
    }
    std::size_t hash() const;

    static std::optional<std::string> standardizedPath(const std::optional<std::string>& path);

private:
    std::string bucket_;
    std::optional<std::string> object_;
};
