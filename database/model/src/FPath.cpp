#include "database/model/FPath.h"

#include <bit>
#include <cstring>
#include <iterator>
#include <new>
#include <stdexcept>

#include "database/model/FSlotPool.h"
#include "database/model/FUtilities.h"
#include "platform/error.h"
#include "platform/format.h"
#include "platform/no_destructor.h"

namespace {

// Calls take(piece) for each piece of the string split on "/", empty pieces
// dropped. Paths are short: eight bytes are searched at a time in a word,
// without a call.
template <class Take>
void forEachPiece(std::string_view path, Take&& take) {
    const char* const data = path.data();
    const size_t size = path.size();
    size_t begin = 0;
    auto slashAt = [&](size_t i) {
        if (i > begin) take(std::string_view(data + begin, i - begin));
        begin = i + 1;
    };
    size_t i = 0;
    if constexpr (std::endian::native == std::endian::little) {
        constexpr uint64_t kOnes = 0x0101010101010101ULL;
        constexpr uint64_t kLows = kOnes * 0x7F;
        for (; size - i >= 8; i += 8) {
            uint64_t x;
            std::memcpy(&x, data + i, 8);
            x ^= kOnes * '/';
            // The high bit of each zero byte (a slash) and of no other: no
            // carry crosses a byte.
            for (uint64_t found = ~(((x & kLows) + kLows) | x | kLows); found; found &= found - 1) {
                slashAt(i + size_t(std::countr_zero(found)) / 8);
            }
        }
    }
    for (; i < size; ++i) {
        if (data[i] == '/') slashAt(i);
    }
    if (size > begin) take(std::string_view(data + begin, size - begin));
}

// Blocks of up to four keys (nearly every path) take pooled slots: paths are
// made by the thousand (a restore makes one per write) and a slot freed is
// taken again without the heap.
constexpr size_t kPooledKeys = 4;

// The counts before the keys.
constexpr size_t kHeader = 16;

size_t blockSize(size_t count) { return kHeader + count * sizeof(std::string); }

template <size_t Count>
using KeysPool = FSlotPool<kHeader + Count * sizeof(std::string)>;

void* allocateBlock(size_t count) {
    switch (count) {
        case 1: return KeysPool<1>::allocate();
        case 2: return KeysPool<2>::allocate();
        case 3: return KeysPool<3>::allocate();
        case 4: return KeysPool<4>::allocate();
        default: return ::operator new(blockSize(count));
    }
}

void freeBlock(void* block, size_t capacity) {
    switch (capacity) {
        case 1: return KeysPool<1>::deallocate(block);
        case 2: return KeysPool<2>::deallocate(block);
        case 3: return KeysPool<3>::deallocate(block);
        case 4: return KeysPool<4>::deallocate(block);
        default: ::operator delete(block);
    }
}

}  // namespace

FPath::Pieces* FPath::allocate(size_t count) {
    static_assert(sizeof(Pieces) == kHeader);
    if (count > UINT32_MAX) throw std::length_error("too many keys in a path");
    auto* pieces = static_cast<Pieces*>(allocateBlock(count));
    new (&pieces->refs) std::atomic<uint32_t>(1);
    pieces->count = 0;
    pieces->capacity = uint32_t(count);
    return pieces;
}

void FPath::destroy(Pieces* pieces) {
    std::string* keys = pieces->keys();
    for (uint32_t i = 0; i < pieces->count; ++i) keys[i].~basic_string();
    freeBlock(pieces, pieces->capacity);
}

template <class It>
FPath::Pieces* FPath::copyOf(It first, It last) {
    const size_t count = size_t(std::distance(first, last));
    if (count == 0) return nullptr;
    Pieces* pieces = allocate(count);
    try {
        // The count follows the keys made, so a failure frees just those.
        for (std::string* key = pieces->keys(); first != last; ++first, ++key, ++pieces->count) {
            new (key) std::string(std::move(*first));
        }
    } catch (...) {
        destroy(pieces);
        throw;
    }
    return pieces;
}

FPath::FPath() = default;

FPath::FPath(std::string_view path) {
    // The pieces of a short path are found in one pass; a longer one is
    // split again once its pieces are counted.
    std::string_view found[kPooledKeys];
    size_t count = 0;
    forEachPiece(path, [&](std::string_view piece) {
        if (count < kPooledKeys) found[count] = piece;
        ++count;
    });
    if (count == 0) return;
    pieces_ = allocate(count);
    std::string* key = pieces_->keys();
    auto take = [&](std::string_view piece) {
        new (key++) std::string(piece);
        ++pieces_->count;
    };
    try {
        if (count <= kPooledKeys) {
            for (size_t i = 0; i < count; ++i) take(found[i]);
        } else {
            forEachPiece(path, take);
        }
    } catch (...) {
        destroy(std::exchange(pieces_, nullptr));
        throw;
    }
}

FPath::FPath(std::vector<std::string> pieces, size_t pieceNum) : start_(pieceNum) {
    if (pieceNum < pieces.size()) {
        pieces_ = copyOf(std::make_move_iterator(pieces.begin()), std::make_move_iterator(pieces.end()));
    } else {
        start_ = 0;
    }
}

const FPath& FPath::empty() {
    static const ns::NoDestructor<FPath> kEmpty;
    return *kEmpty;
}

std::optional<std::string> FPath::getFront() const {
    if (isEmpty()) return std::nullopt;
    return *begin();
}

std::optional<std::string> FPath::getBack() const {
    if (isEmpty()) return std::nullopt;
    return *(end() - 1);
}

const std::string& FPath::pieceAt(size_t index) const {
    if (index >= length()) {
        throw ns::Exception(ns::kRangeException,
                            ns::format("Index %lu beyond the %lu keys of %@", index, length(), toString()));
    }
    return begin()[index];
}

FPath FPath::popFront() const {
    if (isEmpty()) return *this;
    FPath out;
    if (start_ + 1 < size()) {
        retain(pieces_);
        out.pieces_ = pieces_;
        out.start_ = start_ + 1;
    }
    return out;
}

std::optional<FPath> FPath::parent() const {
    if (isEmpty()) return std::nullopt;
    FPath out;
    out.pieces_ = copyOf(begin(), end() - 1);
    return out;
}

FPath FPath::child(const FPath& childPath) const {
    if (childPath.isEmpty()) return *this;
    if (isEmpty()) return childPath;
    FPath out;
    out.pieces_ = allocate(length() + childPath.length());
    std::string* key = out.pieces_->keys();
    // `out` owns the keys made so far, should a copy fail.
    for (const std::string& piece : *this) {
        new (key++) std::string(piece);
        ++out.pieces_->count;
    }
    for (const std::string& piece : childPath) {
        new (key++) std::string(piece);
        ++out.pieces_->count;
    }
    return out;
}

FPath FPath::childFromString(std::string_view childPath) const {
    if (isEmpty()) return FPath(childPath);
    return child(FPath(childPath));
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
    FPath out;
    out.pieces_ = copyOf(inner.begin() + long(outer.length()), inner.end());
    return out;
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

const std::string* FPath::begin() const { return isEmpty() ? nullptr : pieces_->keys() + start_; }

const std::string* FPath::end() const { return isEmpty() ? nullptr : pieces_->keys() + pieces_->count; }
