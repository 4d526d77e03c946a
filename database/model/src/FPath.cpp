#include "database/model/FPath.h"

#include "database/model/FUtilities.h"
#include "platform/error.h"
#include "platform/format.h"

namespace {

void appendPieces(std::string_view path, std::vector<std::string>& out) {
    size_t begin = 0;
    while (begin <= path.size()) {
        auto slash = path.find('/', begin);
        size_t end = slash == std::string_view::npos ? path.size() : slash;
        if (end > begin) out.emplace_back(path.substr(begin, end - begin));
        if (slash == std::string_view::npos) break;
        begin = slash + 1;
    }
}

}  // namespace

FPath::FPath() = default;

FPath::FPath(std::string_view path) {
    std::vector<std::string> pieces;
    appendPieces(path, pieces);
    if (!pieces.empty()) pieces_ = std::make_shared<const std::vector<std::string>>(std::move(pieces));
}

FPath::FPath(std::vector<std::string> pieces, size_t pieceNum) : start_(pieceNum) {
    if (pieceNum < pieces.size()) {
        pieces_ = std::make_shared<const std::vector<std::string>>(std::move(pieces));
    } else {
        start_ = 0;
    }
}

const FPath& FPath::empty() {
    static const FPath kEmpty;
    return kEmpty;
}

std::optional<std::string> FPath::getFront() const {
    if (isEmpty()) return std::nullopt;
    return (*pieces_)[start_];
}

std::optional<std::string> FPath::getBack() const {
    if (isEmpty()) return std::nullopt;
    return pieces_->back();
}

const std::string& FPath::pieceAt(size_t index) const {
    if (index >= length()) {
        throw ns::Exception(ns::kRangeException,
                            ns::format("Index %lu beyond the %lu keys of %@", index, length(), toString()));
    }
    return (*pieces_)[start_ + index];
}

FPath FPath::popFront() const {
    if (isEmpty()) return *this;
    FPath out;
    if (start_ + 1 < size()) {
        out.pieces_ = pieces_;
        out.start_ = start_ + 1;
    }
    return out;
}

std::optional<FPath> FPath::parent() const {
    if (isEmpty()) return std::nullopt;
    std::vector<std::string> pieces(pieces_->begin() + long(start_), pieces_->end() - 1);
    return FPath(std::move(pieces), 0);
}

FPath FPath::child(const FPath& childPath) const {
    if (childPath.isEmpty()) return *this;
    if (isEmpty()) return childPath;
    std::vector<std::string> pieces;
    pieces.reserve(length() + childPath.length());
    pieces.insert(pieces.end(), begin(), end());
    pieces.insert(pieces.end(), childPath.begin(), childPath.end());
    return FPath(std::move(pieces), 0);
}

FPath FPath::childFromString(std::string_view childPath) const {
    std::vector<std::string> pieces(begin(), end());
    size_t before = pieces.size();
    appendPieces(childPath, pieces);
    if (pieces.size() == before) return *this;
    return FPath(std::move(pieces), 0);
}

bool FPath::contains(const FPath& other) const {
    if (length() > other.length()) return false;
    const std::string* a = begin();
    const std::string* b = other.begin();
    for (; a != end(); ++a, ++b) {
        if (*a != *b) return false;
    }
    return true;
}

int FPath::compare(const FPath& other) const {
    const std::string* a = begin();
    const std::string* b = other.begin();
    for (; a != end() && b != other.end(); ++a, ++b) {
        int c = FUtilities::compareKey(*a, *b);
        if (c != 0) return c;
    }
    if (length() == other.length()) return 0;
    return length() < other.length() ? -1 : 1;
}

FPath FPath::relativePathFrom(const FPath& outer, const FPath& inner) {
    if (!outer.contains(inner)) {
        throw ns::Exception("QuorvaneDatabaseInternalError",
                            ns::format("innerPath (%@) is not within outerPath (%@)", inner.toString(), outer.toString()));
    }
    std::vector<std::string> pieces(inner.begin() + long(outer.length()), inner.end());
    return FPath(std::move(pieces), 0);
}

std::string FPath::toString() const {
    if (isEmpty()) return "/";
    std::string out;
    for (const auto& piece : *this) {
        out += '/';
        out += piece;
    }
    return out;
}

std::string FPath::toStringWithTrailingSlash() const {
    if (isEmpty()) return "/";
    return toString() + "/";
}

std::string FPath::wireFormat() const {
    if (isEmpty()) return "/";
    std::string out;
    for (const auto& piece : *this) {
        if (!out.empty()) out += '/';
        out += piece;
    }
    return out;
}

bool FPath::isEqual(const FPath& other) const {
    if (length() != other.length()) return false;
    return contains(other);
}

size_t FPath::hash() const {
    size_t h = 0x9e3779b97f4a7c15ull;
    for (const auto& piece : *this) {
        h ^= std::hash<std::string>()(piece) + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
    }
    return h;
}

const std::string* FPath::begin() const { return isEmpty() ? nullptr : pieces_->data() + start_; }

const std::string* FPath::end() const { return isEmpty() ? nullptr : pieces_->data() + pieces_->size(); }
