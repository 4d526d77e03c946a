#include "storage/QRVStoragePath.h"

#include <functional>
#include <vector>

#include "platform/error.h"
#include "platform/format.h"
#include "platform/url.h"
#include "storage/QRVStorageConstants.h"

namespace {

std::vector<std::string> nonEmptyPieces(std::string_view text) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start <= text.size()) {
        size_t slash = text.find('/', start);
        if (slash == std::string_view::npos) slash = text.size();
        if (slash > start) pieces.emplace_back(text.substr(start, slash - start));
        start = slash + 1;
    }
    return pieces;
}

std::string joined(const std::vector<std::string>& pieces, size_t from = 0) {
    std::string out;
    for (size_t i = from; i < pieces.size(); ++i) {
        if (!out.empty() || i > from) out += '/';
        out += pieces[i];
    }
    return out;
}

}  // namespace

std::optional<std::string> QRVStoragePath::standardizedPath(const std::optional<std::string>& path) {
    if (!path) return std::nullopt;
    return joined(nonEmptyPieces(*path));
}

QRVStoragePath::QRVStoragePath(std::string bucket, std::optional<std::string> object)
    : bucket_(std::move(bucket)), object_(standardizedPath(object)) {}

QRVStoragePath QRVStoragePath::pathFromString(std::string_view string) {
    if (string.starts_with("vbk://")) return pathFromVBKURI(string);
    if (string.starts_with("http://") || string.starts_with("https://")) return pathFromHTTPURL(string);
    ns::Exception::raise(ns::kInternalInconsistencyException,
                         "URL scheme must be one of vbk://, http://, or https:// ");
}

QRVStoragePath QRVStoragePath::pathFromVBKURI(std::string_view string) {
    if (string.starts_with("vbk://")) {
        std::string_view rest = string.substr(6);
        size_t slash = rest.find('/');
        std::string_view bucket = rest.substr(0, slash);
        if (size_t lf = bucket.find('\n'); lf != std::string_view::npos) bucket = bucket.substr(0, lf);
        if (!bucket.empty()) {
            std::optional<std::string> object;
            if (slash != std::string_view::npos) {
                std::string_view tail = rest.substr(slash + 1);
                tail = tail.substr(0, tail.find('\n'));
                if (!tail.empty()) object = std::string(tail);
            }
            return QRVStoragePath(std::string(bucket), object);
        }
    }
    ns::Exception::raise(ns::kInternalInconsistencyException,
                         "URI must be in the form of vbk://<bucket>/<path/to/object>");
}

QRVStoragePath QRVStoragePath::pathFromHTTPURL(std::string_view string) {
    auto url = ns::URL::parse(string);
    if (url && url->host() == kQRVStorageHost) {
        // Components as NSURL counts them: the leading "/" is component 0.
        std::vector<std::string> components = nonEmptyPieces(ns::percentDecode(url->path()));
        components.insert(components.begin(), "/");
        if (components.size() >= 4 && !components[3].empty()) {
            std::optional<std::string> object;
            if (components.size() >= 6) object = joined(components, 5);
            if (object && object->empty()) object.reset();
            return QRVStoragePath(components[3], object);
        }
    }
    ns::Exception::raise(ns::kInternalInconsistencyException,
                         ns::format("URL must be in the form of http[s]://%s/v0/b/<bucket>/o/<path/to/object>"
                                    "[?token=signed_url_params]",
                                    kQRVStorageHost));
}

QRVStoragePath QRVStoragePath::child(std::string_view path) const {
    if (path.empty()) return *this;
    std::string object = object_ ? *object_ + "/" + std::string(path) : std::string(path);
    return QRVStoragePath(bucket_, object);
}

std::optional<QRVStoragePath> QRVStoragePath::parent() const {
    if (!object_ || object_->empty()) return std::nullopt;
    size_t slash = object_->rfind('/');
    return QRVStoragePath(bucket_, slash == std::string::npos ? std::string() : object_->substr(0, slash));
}

std::string QRVStoragePath::stringValue() const { return "vbk://" + bucket_ + "/" + object_.value_or(""); }

std::string QRVStoragePath::description() const {
    return ns::format("%s %p: %s", "QRVStoragePath", static_cast<const void*>(this), stringValue());
}

std::size_t QRVStoragePath::hash() const {
    std::size_t objectHash = object_ ? std::hash<std::string>{}(*object_) : 0;
    return std::hash<std::string>{}(bucket_) ^ objectHash;
}
