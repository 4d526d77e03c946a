#pragma once
// The request logs the test interface reads (storage, the recorder, the
// instance-identity services). Anyone can send a request, so a log is bounded
// by what its entries really take in memory, not by the length of their text:
// a header kept as a pair of strings costs some 64 bytes however short it is,
// so entries keep their headers in one flat string (FlatHeaders), and a log
// holds at most a count of entries and a budget of bytes, dropping the oldest
// (the newest always stays, so a test can read what it just sent).
//
// A listing answers a page at a time, since its JSON is many times larger
// than the entries it shows: "?offset=&limit=" (offset 0 the oldest entry
// kept, limit 1 to kMaxLogPage, kMaxLogPage when not given); a page also ends
// once its text passes kLogPageTextBytes. The answer is
//   {"<entries>": [...], "total": <entries kept>, "offset": <first shown>,
//    "next"?: <offset of the next page, when entries remain>}
// Offsets count from the oldest entry kept at the time of the request, so
// entries dropped between two pages shift them; the entries' ids tell.

#include <strings.h>

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "backend/core/http.h"
#include "backend/core/http_util.h"

namespace backend {

// Entries a listing page shows at most, and by default.
inline constexpr std::size_t kMaxLogPage = 1000;
// A page stops adding entries once its text is this long (it always shows one).
inline constexpr std::size_t kLogPageTextBytes = 16u * 1024u * 1024u;
// What the allocator keeps beside each block it hands out.
inline constexpr std::size_t kAllocationOverhead = 16;

// What a string takes from the heap: nothing while its text fits inside the
// object, else its capacity, the terminator and the allocator's header.
inline std::size_t heapBytes(const std::string& text) {
    const char* self = reinterpret_cast<const char*>(&text);
    const bool inside = text.data() >= self && text.data() < self + sizeof(std::string);
    return inside ? 0 : text.capacity() + 1 + kAllocationOverhead;
}

// A request's headers in one string: for each, its name's length, the name,
// its value's length, the value (lengths as LEB128, one byte below 128).
class FlatHeaders {
public:
    // What one header adds to the string.
    static std::size_t cost(std::string_view name, std::string_view value) {
        return lengthBytes(name.size()) + name.size() + lengthBytes(value.size()) + value.size();
    }
    void add(std::string_view name, std::string_view value) {
        putLength(name.size());
        text_.append(name);
        putLength(value.size());
        text_.append(value);
    }
    // Calls f(name, value) for each header, in the order added.
    template <class F>
    void forEach(F&& f) const {
        std::size_t at = 0;
        while (at < text_.size()) {
            const std::string_view name = take(at);
            const std::string_view value = take(at);
            f(name, value);
        }
    }
    // Gives back the room the string grew by beyond its text.
    void shrink() { text_.shrink_to_fit(); }
    std::size_t heapBytes() const { return backend::heapBytes(text_); }

private:
    static std::size_t lengthBytes(std::size_t n) {
        std::size_t bytes = 1;
        while (n >= 0x80) {
            n >>= 7;
            ++bytes;
        }
        return bytes;
    }
    void putLength(std::size_t n) {
        while (n >= 0x80) {
            text_.push_back(char(0x80 | (n & 0x7f)));
            n >>= 7;
        }
        text_.push_back(char(n));
    }
    std::string_view take(std::size_t& at) const {
        std::size_t n = 0;
        for (int shift = 0;; shift += 7) {
            const auto byte = static_cast<unsigned char>(text_[at++]);
            n |= std::size_t(byte & 0x7f) << shift;
            if (!(byte & 0x80)) break;
        }
        const std::string_view piece = std::string_view(text_).substr(at, n);
        at += n;
        return piece;
    }

    std::string text_;
};

// Calls f(name, value) for each header of `req` as sent but the admin
// secret, as originalHeaders() lists them, without copying thousands of
// them first.
template <class F>
void forEachLoggedHeader(const Request& req, F&& f) {
    for (const auto& [name, value] : req.headerList) {
        if (strcasecmp(name.c_str(), kAdminSecretHeader) != 0) f(name, value);
    }
}

// The newest entries of a log within a count and a byte budget. An Entry
// tells what it holds on the heap by `std::size_t heapBytes() const`, read
// once when it is added (an entry changed later must not grow). Not locked:
// its owner serialises the calls.
template <class Entry>
class BoundedLog {
public:
    BoundedLog(std::size_t maxEntries, std::size_t maxBytes) : maxEntries_(maxEntries), maxBytes_(maxBytes) {}

    void push(Entry entry) {
        // The deque's slot and the entry's heap, which is most of it.
        const std::size_t bytes = sizeof(Slot) + entry.heapBytes();
        slots_.push_back(Slot{std::move(entry), bytes});
        bytes_ += bytes;
        while (slots_.size() > 1 && (slots_.size() > maxEntries_ || bytes_ > maxBytes_)) {
            bytes_ -= slots_.front().bytes;
            slots_.pop_front();
        }
    }
    // The entries forgotten.
    std::size_t clear() {
        const std::size_t count = slots_.size();
        slots_.clear();
        slots_.shrink_to_fit();
        bytes_ = 0;
        return count;
    }
    std::size_t size() const { return slots_.size(); }
    std::size_t bytes() const { return bytes_; }
    // The i-th oldest entry.
    const Entry& at(std::size_t i) const { return slots_[i].entry; }
    Entry& at(std::size_t i) { return slots_[i].entry; }

private:
    struct Slot {
        Entry entry;
        std::size_t bytes;
    };
    std::size_t maxEntries_, maxBytes_;
    std::size_t bytes_ = 0;
    std::deque<Slot> slots_;
};

// The page of a listing a request asks for.
struct LogPage {
    std::size_t offset = 0;
    std::size_t limit = kMaxLogPage;
};

// Reads "offset" and "limit"; answers 400 and gives nullopt when either is
// not a number in its range.
inline std::optional<LogPage> readLogPage(const Request& req, Response& res) {
    LogPage page;
    auto read = [&](const char* key, std::size_t low, std::size_t high, std::size_t& out) {
        if (queryNumber(req, key, low, high, out)) return true;
        sendError(res, 400, "\"" + std::string(key) + "\" must be from " + std::to_string(low) + " to " + std::to_string(high));
        return false;
    };
    if (!read("offset", 0, std::size_t(1) << 40, page.offset) || !read("limit", 1, kMaxLogPage, page.limit)) {
        return std::nullopt;
    }
    return page;
}

// Opens a page's text; `key` is a plain JSON key.
inline std::string openLogPage(std::string_view key) { return "{\"" + std::string(key) + "\":["; }

// Closes a page's text with its counts and answers 200 with it.
inline void closeLogPage(Response& res, std::string text, std::size_t total, std::size_t offset, std::size_t next) {
    text += "],\"total\":" + std::to_string(total) + ",\"offset\":" + std::to_string(offset);
    if (next < total) text += ",\"next\":" + std::to_string(next);
    text += '}';
    res.status = 200;
    res.set_content(std::move(text), "application/json");
}

// Answers one page of `log`; `write(entry, text)` appends an entry's JSON.
template <class Entry, class Write>
void sendLogPage(Response& res, std::string_view key, const BoundedLog<Entry>& log, const LogPage& page,
                 Write&& write) {
    std::string text = openLogPage(key);
    const std::size_t start = text.size();
    std::size_t i = page.offset;
    const std::size_t end = page.offset + std::min(page.limit, log.size() - std::min(page.offset, log.size()));
    for (; i < end; ++i) {
        if (i > page.offset && text.size() - start >= kLogPageTextBytes) break;
        if (i > page.offset) text += ',';
        write(log.at(i), text);
    }
    closeLogPage(res, std::move(text), log.size(), page.offset, i);
}

}  // namespace backend
