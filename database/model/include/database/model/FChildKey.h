#pragma once
// A child's key in a children node: one pointer to an immutable shared
// string. The keys of a tree repeat (the same field names under thousands of
// records), and repeat close together: a short key shares the string of the
// equal key its thread made recently. Longer keys (push ids and other unique
// names) are only shared between the versions of a node. A key reads as a
// const std::string& or a std::string_view without copying.

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

class FChildKey {
public:
    FChildKey() : rep_(emptyRep()) {}
    FChildKey(std::string_view text) : rep_(make(text)) {}  // NOLINT: keys convert from text
    FChildKey(const std::string& text) : FChildKey(std::string_view(text)) {}  // NOLINT
    FChildKey(const char* text) : FChildKey(std::string_view(text)) {}  // NOLINT
    FChildKey(const FChildKey& o) noexcept : rep_(o.rep_) { retain(rep_); }
    FChildKey(FChildKey&& o) noexcept : rep_(o.rep_) { o.rep_ = emptyRep(); }
    FChildKey& operator=(const FChildKey& o) noexcept {
        retain(o.rep_);
        release(rep_);
        rep_ = o.rep_;
        return *this;
    }
    FChildKey& operator=(FChildKey&& o) noexcept {
        if (this != &o) {
            release(rep_);
            rep_ = o.rep_;
            o.rep_ = emptyRep();
        }
        return *this;
    }
    ~FChildKey() { release(rep_); }

    const std::string& str() const { return rep_->text; }
    operator const std::string&() const { return rep_->text; }  // NOLINT
    operator std::string_view() const { return rep_->text; }    // NOLINT
    size_t size() const { return rep_->text.size(); }
    bool empty() const { return rep_->text.empty(); }

    friend bool operator==(const FChildKey& a, const FChildKey& b) { return a.rep_ == b.rep_ || a.str() == b.str(); }
    friend bool operator==(const FChildKey& a, std::string_view b) { return a.str() == b; }
    friend bool operator==(const FChildKey& a, const std::string& b) { return a.str() == b; }
    friend bool operator==(const FChildKey& a, const char* b) { return a.str() == b; }

    // The same for keys sharing one string (equal keys made apart may differ).
    const void* identity() const { return rep_; }

    // Keys up to this long are shared with recent equal ones (they fit the
    // string's own buffer).
    static constexpr size_t kSharedLength = 15;
    // A key with a string of its own.
    static FChildKey makeUnshared(std::string_view text);
    // The key a conversion from text makes, telling whether its string is
    // one made before (the equal key the thread made recently) rather than
    // a new one.
    static FChildKey shared(std::string_view text, bool& reused);

private:
    enum class Kind : uint8_t { Shared, Immortal };
    struct Rep {
        std::atomic<uint32_t> refs{1};
        Kind kind;
        std::string text;
        Rep(Kind k, std::string_view t) : kind(k), text(t) {}
        // Pooled (see FSlotPool): exactly its size, and on huge pages once
        // there are many.
        static void* operator new(size_t size);
        static void operator delete(void* p);
    };
    static Rep* emptyRep();
    static Rep* make(std::string_view text);
    static void retain(Rep* rep) {
        if (rep->kind != Kind::Immortal) rep->refs.fetch_add(1, std::memory_order_relaxed);
    }
    static void release(Rep* rep) {
        if (rep->kind != Kind::Immortal && rep->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete rep;
    }

    Rep* rep_;
};
