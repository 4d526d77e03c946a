#pragma once
// An immutable sorted map with cheap versions. Up to kArrayLimit entries it
// is a sorted array (compact, fast to scan), its keys in one block and its
// values in another: versions that differ only in values share the keys, and
// where the key type allows it (FSortedKeySharing) dictionaries built with
// the same keys as one built just before share that one's key block, as the
// records of a list mostly have the same fields. Above that a
// persistent left-leaning red-black tree (2-3 variant) with path copying, so
// an insert or removal copies O(log n) nodes and shares the rest with the
// old version. Copies of a dictionary share everything; nodes are released
// with atomic reference counts, so versions may be handed between threads.
//
// `Compare` is a callable (const K&, const K&) -> int (<0, 0, >0); it may
// carry state (an index, for example), and lookups accept any key type the
// comparator takes. A comparator may also give each key an order prefix,
// `static uint64_t orderPrefix(key)`: two keys whose prefixes are both
// nonzero and differ are in the order of their prefixes. Tree nodes keep
// their key's, so a descent through a large tree compares most keys without
// reading them.

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "database/model/FSlotPool.h"
#include "platform/thread_owned.h"

// Whether dictionaries built from entries look for a recently built key
// block with the same keys and share it. Specialised for key types whose
// equal keys are mostly one object, so the look-up only compares pointers:
//   static const void* identity(const K&);  // same identity: same key
template <class K>
struct FSortedKeySharing {
    static constexpr bool kEnabled = false;
};

// Default size up to which a dictionary stays a sorted array. Measured by
// bench/model_array_limit.cpp: up to this size replacing one entry in the
// array costs at most twice the tree's path copy (both well under a
// microsecond), while the array needs 40% less memory per entry and visiting
// children of a tree too large for the caches is 40% faster; above it the
// copy grows linearly and the update penalty with it.
inline constexpr size_t kFSortedDictionaryArrayLimit = 128;

template <class K, class V, class Compare, size_t ArrayLimit = kFSortedDictionaryArrayLimit>
class FImmutableSortedDictionary {
    struct Node;
    template <class T>
    struct Block;
    using KeyBlock = Block<K>;
    using ValueBlock = Block<V>;
    // A set's dictionary has no values to keep.
    static constexpr bool kNoValues = std::is_empty_v<V>;

public:
    // At or below this many entries the dictionary is a sorted array.
    static constexpr size_t kArrayLimit = ArrayLimit;

    using Entry = std::pair<K, V>;
    // An entry where it lies, as `first` and `second`.
    struct EntryView {
        const K& first;
        const V& second;
    };
    // Points at an entry (or nothing) like a `const Entry*`.
    class EntryPointer {
    public:
        EntryPointer() = default;
        EntryPointer(std::nullptr_t) {}  // NOLINT: null like a pointer
        EntryPointer(const K* key, const V* value) : key_(key), value_(value) {}
        explicit operator bool() const { return key_ != nullptr; }
        EntryView operator*() const { return EntryView{*key_, *value_}; }
        struct Arrow {
            EntryView view;
            const EntryView* operator->() const { return &view; }
        };
        Arrow operator->() const { return Arrow{**this}; }
        friend bool operator==(const EntryPointer& p, std::nullptr_t) { return p.key_ == nullptr; }

    private:
        const K* key_ = nullptr;
        const V* value_ = nullptr;
    };

    FImmutableSortedDictionary() = default;
    explicit FImmutableSortedDictionary(Compare cmp) : cmp_(std::move(cmp)) {}

    FImmutableSortedDictionary(const FImmutableSortedDictionary& o)
        : cmp_(o.cmp_), keys_(o.keys_), values_(o.values_), root_(o.root_), count_(o.count_) {
        KeyBlock::retain(keys_);
        ValueBlock::retain(values_);
        retain(root_);
    }
    FImmutableSortedDictionary(FImmutableSortedDictionary&& o) noexcept
        : cmp_(std::move(o.cmp_)), keys_(o.keys_), values_(o.values_), root_(o.root_), count_(o.count_) {
        o.keys_ = nullptr;
        o.values_ = nullptr;
        o.root_ = nullptr;
        o.count_ = 0;
    }
    FImmutableSortedDictionary& operator=(FImmutableSortedDictionary o) noexcept {
        swap(o);
        return *this;
    }
    ~FImmutableSortedDictionary() {
        KeyBlock::release(keys_);
        ValueBlock::release(values_);
        release(root_);
    }

    void swap(FImmutableSortedDictionary& o) noexcept {
        std::swap(cmp_, o.cmp_);
        std::swap(keys_, o.keys_);
        std::swap(values_, o.values_);
        std::swap(root_, o.root_);
        std::swap(count_, o.count_);
    }

    // A dictionary of entries already in strictly increasing key order
    // (checked only by the caller): built in linear time.
    static FImmutableSortedDictionary fromSortedEntries(std::vector<Entry> entries, Compare cmp = Compare()) {
        return fromSortedRange(entries.data(), entries.size(), std::move(cmp));
    }
    // The same from `n` entries at `entries`, moved from: a reader reuses
    // its buffer for the next node.
    static FImmutableSortedDictionary fromSortedRange(Entry* entries, size_t n, Compare cmp = Compare()) {
        FImmutableSortedDictionary d(std::move(cmp));
        d.count_ = n;
        if (n == 0) return d;
        if (n <= kArrayLimit) {
            d.keys_ = keyBlockFor(entries, n);
            d.makeValues(n, [&](size_t i, V* slot) { new (slot) V(std::move(entries[i].second)); });
        } else {
            d.root_ = buildBalanced(entries, n);
        }
        return d;
    }

    // Entries in any order; for equal keys the last one wins.
    static FImmutableSortedDictionary fromEntries(std::vector<Entry> entries, Compare cmp = Compare()) {
        std::stable_sort(entries.begin(), entries.end(),
                         [&](const Entry& a, const Entry& b) { return cmp(a.first, b.first) < 0; });
        std::vector<Entry> unique;
        unique.reserve(entries.size());
        for (auto& e : entries) {
            if (!unique.empty() && cmp(unique.back().first, e.first) == 0) {
                unique.back() = std::move(e);
            } else {
                unique.push_back(std::move(e));
            }
        }
        return fromSortedEntries(std::move(unique), std::move(cmp));
    }

    size_t count() const { return count_; }
    bool isEmpty() const { return count_ == 0; }
    const Compare& comparator() const { return cmp_; }

    // The value for `key`, or nullptr; valid while this dictionary (or a copy
    // sharing the entry) lives.
    template <class Q>
    const V* find(const Q& key) const {
        if (keys_) {
            size_t i = lowerBound(key);
            if (i < count_ && cmp_(keys_->at(i), key) == 0) return &valueAt(i);
            return nullptr;
        }
        const Node* n = root_;
        const uint64_t prefix = orderPrefix(key);
        while (n) {
            int c = compareAt(key, prefix, n);
            if (c == 0) return &n->kv.second;
            prefetchChildRun(n, c < 0);
            n = c < 0 ? n->left : n->right;
        }
        return nullptr;
    }

    template <class Q>
    std::optional<V> get(const Q& key) const {
        const V* v = find(key);
        if (!v) return std::nullopt;
        return *v;
    }

    template <class Q>
    bool contains(const Q& key) const {
        return find(key) != nullptr;
    }

    // A new dictionary with `key` set to `value`.
    FImmutableSortedDictionary insert(K key, V value) const {
        if (keys_ || !root_) return insertInArray(std::move(key), std::move(value));
        FImmutableSortedDictionary out(cmp_);
        const uint64_t prefix = orderPrefix(key);
        // One descent that copies the path as it goes, each node one level
        // after reaching it: by then the lines the copy touches (the other
        // child's count, the key's and the value's) have arrived, and the
        // copy's work fills the wait for the next node rather than adding to
        // it. A key already present keeps the tree's shape, so the copies are
        // the new version once the value is set; otherwise they are the
        // owned path the insertion rebalances.
        Node* top = nullptr;
        Node** link = &top;
        const Node* above = nullptr;
        bool aboveLeft = false;
        try {
            for (const Node* n = root_; n;) {
                prefetchForCopy(n);
                // The node that may hold the key: its text is asked for
                // before the copy above, which then fills that wait too.
                if (prefix == n->prefix) prefetchText(n);
                if (above) link = copyOnPath(above, aboveLeft, link);
                const int c = compareAt(key, prefix, n);
                if (c == 0) {
                    Node* bottom = new Node(Entry(n->kv.first, std::move(value)), n->prefix, n->red, n->left, n->right);
                    retain(n->left);
                    retain(n->right);
                    bottom->leftRun = n->leftRun;
                    bottom->rightRun = n->rightRun;
                    *link = bottom;
                    finalize(top);
                    out.root_ = top;
                    out.count_ = count_;
                    return out;
                }
                above = n;
                aboveLeft = c < 0;
                prefetchChildRun(n, aboveLeft);
                n = aboveLeft ? n->left : n->right;
            }
            if (above) copyOnPath(above, aboveLeft, link);
        } catch (...) {
            release(top);
            throw;
        }
        // The insertion moves links around the copies; which of them lead to
        // runs is no longer worth keeping.
        for (Node* x = top; x;) {
            x->leftRun = x->rightRun = false;
            x = x->left && x->left->transient ? x->left : x->right && x->right->transient ? x->right : nullptr;
        }
        bool replaced = false;
        Node* r = insertRec(top, key, prefix, value, replaced);
        r->red = false;
        finalize(r);
        out.root_ = r;
        out.count_ = count_ + (replaced ? 0 : 1);
        return out;
    }

    // A new dictionary without `key` (this one when the key is absent).
    template <class Q>
    FImmutableSortedDictionary remove(const Q& key) const {
        if (!contains(key)) return *this;
        FImmutableSortedDictionary out(cmp_);
        out.count_ = count_ - 1;
        if (out.count_ == 0) return out;
        if (keys_) {
            size_t i = lowerBound(key);
            out.keys_ = KeyBlock::make(out.count_, [&](size_t j, K* slot) { new (slot) K(keys_->at(j < i ? j : j + 1)); });
            out.makeValues(out.count_, [&](size_t j, V* slot) { new (slot) V(valueAt(j < i ? j : j + 1)); });
            return out;
        }
        warmPath(key, orderPrefix(key));
        retain(root_);
        Node* r = ownRef(root_);
        if (!isRed(r->left) && !isRed(r->right)) r->red = true;
        r = removeRec(r, key);
        if (r) {
            r->red = false;
            finalize(r);
        }
        out.root_ = r;
        return out;
    }

    // Smallest / largest entry; nullptr when empty.
    EntryPointer minEntry() const {
        if (keys_) return entryAt(0);
        const Node* n = root_;
        if (!n) return nullptr;
        while (n->left) n = n->left;
        return n->entry();
    }
    EntryPointer maxEntry() const {
        if (keys_) return entryAt(count_ - 1);
        const Node* n = root_;
        if (!n) return nullptr;
        while (n->right) n = n->right;
        return n->entry();
    }
    std::optional<K> minKey() const {
        EntryPointer e = minEntry();
        if (!e) return std::nullopt;
        return e->first;
    }
    std::optional<K> maxKey() const {
        EntryPointer e = maxEntry();
        if (!e) return std::nullopt;
        return e->first;
    }

    // The entry with the largest key below `key`; nullptr when none.
    template <class Q>
    EntryPointer predecessorEntry(const Q& key) const {
        if (keys_) {
            size_t i = lowerBound(key);
            return i == 0 ? EntryPointer() : entryAt(i - 1);
        }
        const Node* n = root_;
        const Node* best = nullptr;
        while (n) {
            if (cmp_(n->kv.first, key) < 0) {
                best = n;
                n = n->right;
            } else {
                n = n->left;
            }
        }
        return best ? best->entry() : EntryPointer();
    }
    template <class Q>
    std::optional<K> predecessorKey(const Q& key) const {
        EntryPointer e = predecessorEntry(key);
        if (!e) return std::nullopt;
        return e->first;
    }

    // In key order; `f(key, value)` returns false to stop. Returns false when
    // stopped early.
    template <class F>
    bool forEach(F&& f) const {
        if (keys_) {
            for (size_t i = 0; i < count_; ++i) {
                if (!f(keys_->at(i), valueAt(i))) return false;
            }
            return true;
        }
        return forEachRec(root_, f);
    }
    template <class F>
    bool forEachReverse(F&& f) const {
        if (keys_) {
            for (size_t i = count_; i > 0; --i) {
                if (!f(keys_->at(i - 1), valueAt(i - 1))) return false;
            }
            return true;
        }
        return forEachReverseRec(root_, f);
    }

    // Block forms with a stop flag, in key order or its reverse.
    void enumerate(const std::function<void(const K&, const V&, bool& stop)>& block) const {
        enumerateReverse(false, block);
    }
    void enumerateReverse(bool reverse, const std::function<void(const K&, const V&, bool& stop)>& block) const {
        auto step = [&](const K& k, const V& v) {
            bool stop = false;
            block(k, v, stop);
            return !stop;
        };
        if (reverse) {
            forEachReverse(step);
        } else {
            forEach(step);
        }
    }

    // A cursor over the entries; it keeps the dictionary's storage alive.
    class Iterator {
    public:
        bool valid() const { return key_ != nullptr; }
        const K& key() const { return *key_; }
        const V& value() const { return *value_; }
        EntryView entry() const { return EntryView{*key_, *value_}; }
        void next() {
            if (dict_.keys_) {
                if (reverse_ ? index_ == 0 : index_ + 1 >= dict_.count_) {
                    at(EntryPointer());
                } else {
                    at(dict_.entryAt(reverse_ ? --index_ : ++index_));
                }
                return;
            }
            if (stack_.empty()) {
                at(EntryPointer());
                return;
            }
            const Node* n = stack_.back();
            stack_.pop_back();
            at(n->entry());
            const Node* c = reverse_ ? n->left : n->right;
            while (c) {
                stack_.push_back(c);
                c = reverse_ ? c->right : c->left;
            }
        }

    private:
        friend class FImmutableSortedDictionary;
        void at(EntryPointer e) {
            key_ = e ? &e->first : nullptr;
            value_ = e ? &e->second : nullptr;
        }
        FImmutableSortedDictionary dict_;
        bool reverse_ = false;
        size_t index_ = 0;
        std::vector<const Node*> stack_;
        const K* key_ = nullptr;
        const V* value_ = nullptr;
    };

    Iterator iterator(bool reverse = false) const {
        Iterator it;
        it.dict_ = *this;
        it.reverse_ = reverse;
        if (keys_) {
            it.index_ = reverse ? count_ - 1 : 0;
            it.at(entryAt(it.index_));
            return it;
        }
        const Node* n = root_;
        while (n) {
            it.stack_.push_back(n);
            n = reverse ? n->right : n->left;
        }
        it.next();
        return it;
    }

    // Starts at the first key at or after `key` (at or before it when reverse).
    template <class Q>
    Iterator iteratorFrom(const Q& key, bool reverse = false) const {
        Iterator it;
        it.dict_ = *this;
        it.reverse_ = reverse;
        if (keys_) {
            size_t i = lowerBound(key);
            if (reverse) {
                if (i < count_ && cmp_(keys_->at(i), key) == 0) {
                    it.index_ = i;
                } else if (i == 0) {
                    return it;
                } else {
                    it.index_ = i - 1;
                }
            } else {
                if (i >= count_) return it;
                it.index_ = i;
            }
            it.at(entryAt(it.index_));
            return it;
        }
        const Node* n = root_;
        while (n) {
            int c = cmp_(key, n->kv.first);
            if (c == 0) {
                it.stack_.push_back(n);
                break;
            }
            if (reverse ? c > 0 : c < 0) {
                it.stack_.push_back(n);
                n = reverse ? n->right : n->left;
            } else {
                n = reverse ? n->left : n->right;
            }
        }
        it.next();
        return it;
    }

    // Range-for support: `for (const auto& [key, value] : dict)`.
    class const_iterator {
    public:
        using value_type = Entry;
        EntryView operator*() const { return it_.entry(); }
        typename EntryPointer::Arrow operator->() const { return {it_.entry()}; }
        const_iterator& operator++() {
            it_.next();
            return *this;
        }
        bool operator==(const const_iterator& o) const {
            return (!it_.valid() && !o.it_.valid()) || (it_.valid() && o.it_.valid() && &it_.key() == &o.it_.key());
        }
        bool operator!=(const const_iterator& o) const { return !(*this == o); }

    private:
        friend class FImmutableSortedDictionary;
        Iterator it_;
    };
    const_iterator begin() const {
        const_iterator c;
        c.it_ = iterator();
        return c;
    }
    const_iterator end() const { return const_iterator(); }

    // Whether the tree form holds the red-black invariants (for tests): no
    // red right link, no two reds in a row, equal black height, keys in order.
    bool checkInvariants() const {
        if (keys_) {
            for (size_t i = 1; i < count_; ++i) {
                if (cmp_(keys_->at(i - 1), keys_->at(i)) >= 0) return false;
            }
            return count_ <= kArrayLimit && keys_->size == count_ && (kNoValues || values_->size == count_);
        }
        if (isRed(root_)) return false;
        size_t seen = 0;
        const K* last = nullptr;
        return blackHeight(root_, seen, last) >= 0 && seen == count_;
    }
    bool isArrayForm() const { return keys_ != nullptr; }
    // Whether the two share one key block (for tests).
    bool sharesKeysWith(const FImmutableSortedDictionary& o) const { return keys_ && keys_ == o.keys_; }

private:
    struct Node {
        // Whether a node keeps where its key's characters are: keys that
        // read as text held elsewhere (a shared string) and a comparator of
        // text. A descent that reaches its key's node compares the text
        // straight away instead of first loading the key's own block, one
        // wait for memory less in a large tree; the node stays a cache line.
        static constexpr bool kKeepsText = std::is_convertible_v<const K&, std::string_view> &&
                                           std::is_invocable_r_v<int, const Compare&, std::string_view, std::string_view> &&
                                           sizeof(Entry) <= 24 && alignof(Entry) <= 8;
        struct NoText {};

        std::atomic<uint32_t> refs{1};
        bool red : 1 = true;
        // Made by the operation in progress and not yet visible to anyone
        // else, so it may still be changed in place.
        bool transient : 1 = true;
        // Whether the left / right child is the top of a run (see build23):
        // a descent going there asks for the whole run with it. Path copies
        // take scattered slots, so only links made by the build or kept by
        // a copy say so; a link moved by rebalancing says no.
        bool leftRun : 1 = false;
        bool rightRun : 1 = false;
        uint16_t textLength = 0;
        // The key's order prefix (0: none), beside the links a descent reads.
        uint64_t prefix;
        Node* left = nullptr;
        Node* right = nullptr;
        // The key's characters (nullptr: compare the key itself).
        [[no_unique_address]] std::conditional_t<kKeepsText, const char*, NoText> text{};
        Entry kv;

        Node(Entry e, uint64_t keyPrefix, bool isRed, Node* l, Node* r)
            : red(isRed), prefix(keyPrefix), left(l), right(r), kv(std::move(e)) {
            keepText();
        }
        void keepText() {
            if constexpr (kKeepsText) {
                const std::string_view view(kv.first);
                text = view.size() <= UINT16_MAX ? view.data() : nullptr;
                textLength = uint16_t(view.size());
            }
        }

        // A node that fits a cache line takes a pooled one of its own, so a
        // descent reads one line per level, on huge pages in a tree of
        // hundreds of thousands; larger ones come from the heap.
        static constexpr bool kPooled = sizeof(Entry) <= 32 && alignof(Entry) <= 8;
        using Pool = FSlotPool<64, 64, (size_t(16) << 20)>;
        static void* operator new(size_t size) {
            if constexpr (kPooled) {
                static_assert(sizeof(Node) <= 64);
                return Pool::allocate();
            } else {
                return ::operator new(size);
            }
        }
        static void operator delete(void* p) {
            if constexpr (kPooled) {
                Pool::deallocate(p);
            } else {
                ::operator delete(p);
            }
        }
        EntryPointer entry() const { return EntryPointer(&kv.first, &kv.second); }
    };

    // The keys or the values of an array in one block after a reference
    // count. Blocks of small arrays (nearly every record's) take pooled
    // slots of their size class: a load or a restore makes one or two per
    // record.
    template <class T>
    struct Block {
        static_assert(alignof(T) <= FSlotSizeClasses::kStep);
        std::atomic<uint32_t> refs{1};
        uint32_t size = 0;

        T* items() { return reinterpret_cast<T*>(reinterpret_cast<char*>(this) + headerSize()); }
        const T& at(size_t i) const {
            return reinterpret_cast<const T*>(reinterpret_cast<const char*>(this) + headerSize())[i];
        }
        static constexpr size_t headerSize() { return (sizeof(Block) + alignof(T) - 1) / alignof(T) * alignof(T); }
        static constexpr size_t bytesFor(size_t n) { return headerSize() + n * sizeof(T); }
        template <class Fill>
        static Block* make(size_t n, Fill&& fill) {
            void* mem = FSlotSizeClasses::allocate(bytesFor(n));
            auto* block = new (mem) Block();
            size_t built = 0;
            try {
                for (; built < n; ++built) fill(built, block->items() + built);
            } catch (...) {
                for (size_t i = 0; i < built; ++i) block->items()[i].~T();
                block->~Block();
                FSlotSizeClasses::deallocate(block, bytesFor(n));
                throw;
            }
            block->size = uint32_t(n);
            return block;
        }
        static void destroy(Block* block) {
            const size_t n = block->size;
            for (size_t i = 0; i < n; ++i) block->items()[i].~T();
            block->~Block();
            FSlotSizeClasses::deallocate(block, bytesFor(n));
        }
        static void retain(Block* b) {
            if (b) b->refs.fetch_add(1, std::memory_order_relaxed);
        }
        static void release(Block* b) {
            if (b && b->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) destroy(b);
        }
    };

    const V& valueAt(size_t i) const {
        if constexpr (kNoValues) {
            static const V kNothing{};
            return kNothing;
        } else {
            return values_->at(i);
        }
    }
    EntryPointer entryAt(size_t i) const { return EntryPointer(&keys_->at(i), &valueAt(i)); }
    template <class Fill>
    void makeValues(size_t n, Fill&& fill) {
        if constexpr (!kNoValues) values_ = ValueBlock::make(n, fill);
    }

    // insert() on the array form (or an empty dictionary): a new array, or a
    // tree once the entries pass the array limit.
    FImmutableSortedDictionary insertInArray(K&& key, V&& value) const {
        FImmutableSortedDictionary out(cmp_);
        size_t i = keys_ ? lowerBound(key) : 0;
        bool replace = keys_ && i < count_ && cmp_(keys_->at(i), key) == 0;
        size_t n = count_ + (replace ? 0 : 1);
        if (n <= kArrayLimit) {
            out.count_ = n;
            if (replace) {
                // The same keys: the new version shares them.
                out.keys_ = keys_;
                KeyBlock::retain(keys_);
            } else {
                out.keys_ = KeyBlock::make(n, [&](size_t j, K* slot) {
                    if (j == i) {
                        new (slot) K(std::move(key));
                    } else {
                        new (slot) K(keys_->at(j < i ? j : j - 1));
                    }
                });
            }
            out.makeValues(n, [&](size_t j, V* slot) {
                if (j == i) {
                    new (slot) V(std::move(value));
                } else {
                    new (slot) V(valueAt(j < i || replace ? j : j - 1));
                }
            });
            return out;
        }
        // Grows past the array limit: becomes a tree.
        std::vector<Entry> entries;
        entries.reserve(n);
        for (size_t j = 0; j < count_; ++j) {
            if (j == i) entries.emplace_back(std::move(key), std::move(value));
            if (!(replace && j == i)) entries.emplace_back(keys_->at(j), valueAt(j));
        }
        if (i == count_) entries.emplace_back(std::move(key), std::move(value));
        return fromSortedEntries(std::move(entries), cmp_);
    }

    // The key block of a new array of the `n` entries at `entries` (their
    // keys moved from when it is a new block).
    static KeyBlock* keyBlockFor(Entry* entries, size_t n) {
        auto moveKeys = [&] { return KeyBlock::make(n, [&](size_t i, K* slot) { new (slot) K(std::move(entries[i].first)); }); };
        if constexpr (!FSortedKeySharing<K>::kEnabled) {
            return moveKeys();
        } else {
            // The key blocks a thread built last, by the identities of their
            // keys; each slot holds a reference.
            struct Recent {
                std::array<KeyBlock*, 64> blocks{};
                ~Recent() {
                    for (KeyBlock* b : blocks) KeyBlock::release(b);
                }
            };
            thread_local Recent* recentSlot = nullptr;
            Recent& recent = ns::threadOwned(recentSlot);
            uint64_t h = n;
            for (size_t i = 0; i < n; ++i) {
                h = (h ^ reinterpret_cast<uintptr_t>(FSortedKeySharing<K>::identity(entries[i].first))) *
                    0x9E3779B97F4A7C15ULL;
            }
            KeyBlock*& slot = recent.blocks[size_t(h >> 58)];
            bool same = slot && slot->size == n;
            for (size_t i = 0; same && i < n; ++i) {
                same = FSortedKeySharing<K>::identity(slot->at(i)) == FSortedKeySharing<K>::identity(entries[i].first);
            }
            if (!same) {
                KeyBlock::release(std::exchange(slot, nullptr));
                slot = moveKeys();
            }
            KeyBlock::retain(slot);
            return slot;
        }
    }
    static void retain(Node* n) {
        if (n) n->refs.fetch_add(1, std::memory_order_relaxed);
    }
    static void release(Node* n) {
        while (n && n->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            release(n->left);
            Node* right = n->right;
            delete n;
            n = right;  // loop on one side, recurse on the other
        }
    }
    static bool isRed(const Node* n) { return n && n->red; }

    // Copying a node touches the reference counts of its two children and of
    // its value, which in a large tree are cache misses; asking for all three
    // lines at once lets them load together instead of one after another.
    template <class T>
    static void prefetchValue(const std::shared_ptr<T>& v) {
        // make_shared places the count just before the object.
        __builtin_prefetch(reinterpret_cast<const char*>(v.get()) - 16, 1);
    }
    template <class T>
    static void prefetchValue(const T&) {}
    static void prefetchForCopy(const Node* n) {
        if (n->left) __builtin_prefetch(n->left, 1);
        if (n->right) __builtin_prefetch(n->right, 1);
        prefetchValue(n->kv.second);
        // The copy takes a reference to the key as well.
        if constexpr (FSortedKeySharing<K>::kEnabled) __builtin_prefetch(FSortedKeySharing<K>::identity(n->kv.first), 1);
    }
    static void prefetchText(const Node* n) {
        if constexpr (Node::kKeepsText) {
            if (n->text) __builtin_prefetch(n->text);
        }
    }
    // Puts at `link` an owned copy of `o`, the side the descent took left
    // empty for the next copy (null until then, so a partial path releases
    // cleanly); returns that side.
    static Node** copyOnPath(const Node* o, bool wentLeft, Node** link) {
        Node* other = wentLeft ? o->right : o->left;
        Node* c = new Node(o->kv, o->prefix, o->red, wentLeft ? nullptr : other, wentLeft ? other : nullptr);
        retain(other);
        if (wentLeft) {
            c->rightRun = o->rightRun;
        } else {
            c->leftRun = o->leftRun;
        }
        *link = c;
        return wentLeft ? &c->left : &c->right;
    }

    // A read-only descent to the key before the copying one: the lines the
    // copies need are requested while the descent waits for the next node.
    template <class Q>
    void warmPath(const Q& key, uint64_t prefix) const {
        const Node* n = root_;
        while (n) {
            prefetchForCopy(n);
            int c = compareAt(key, prefix, n);
            if (c == 0) return;
            prefetchChildRun(n, c < 0);
            n = c < 0 ? n->left : n->right;
        }
    }
    // A node at the start of a run (see build23) is the top of the run's
    // subtree: its other lines are asked for with it, as the next levels of
    // the descent read them. Runs are aligned to their size, which tells how
    // many lines to ask for; only links marked as leading to a run are
    // followed, since in a tree that has taken many updates most aligned
    // nodes are copies in slots that merely happen to be aligned.
    static void prefetchChildRun(const Node* n, bool left) {
        if (left ? n->leftRun : n->rightRun) prefetchRun(left ? n->left : n->right);
    }
    static void prefetchRun(const Node* n) {
        if constexpr (Node::kPooled) {
            const auto at = reinterpret_cast<uintptr_t>(n);
            if (at % 256 != 0) return;
            const char* p = reinterpret_cast<const char*>(n);
            const size_t lines = at % 1024 == 0 ? 16 : at % 512 == 0 ? 8 : 4;
            for (size_t i = 1; i < lines; ++i) __builtin_prefetch(p + 64 * i);
        }
    }

    template <class Q>
    static uint64_t orderPrefix(const Q& key) {
        if constexpr (requires { Compare::orderPrefix(key); }) {
            return Compare::orderPrefix(key);
        } else {
            return 0;
        }
    }
    // cmp_(key, n's key), told by the prefixes where they differ.
    template <class Q>
    int compareAt(const Q& key, uint64_t prefix, const Node* n) const {
        if (prefix != n->prefix && prefix != 0 && n->prefix != 0) return prefix < n->prefix ? -1 : 1;
        if constexpr (Node::kKeepsText) {
            if (n->text) return cmp_(key, std::string_view(n->text, n->textLength));
        }
        return cmp_(key, n->kv.first);
    }

    // A node the operation may change: `n` itself when transient, else a copy
    // (our reference to `n` is given up).
    static Node* ownRef(Node* n) {
        if (!n || n->transient) return n;
        retain(n->left);
        retain(n->right);
        Node* c = new Node(n->kv, n->prefix, n->red, n->left, n->right);
        release(n);
        return c;
    }
    static Node* own(Node*& slot) {
        slot = ownRef(slot);
        return slot;
    }
    // Marks the nodes made by an operation as published.
    static void finalize(Node* n) {
        while (n && n->transient) {
            n->transient = false;
            finalize(n->left);
            n = n->right;
        }
    }

    static Node* rotateLeft(Node* h) {
        Node* x = own(h->right);
        h->right = x->left;
        x->left = h;
        x->red = h->red;
        h->red = true;
        return x;
    }
    static Node* rotateRight(Node* h) {
        Node* x = own(h->left);
        h->left = x->right;
        x->right = h;
        x->red = h->red;
        h->red = true;
        return x;
    }
    static void flipColors(Node* h) {
        h->red = !h->red;
        Node* l = own(h->left);
        l->red = !l->red;
        Node* r = own(h->right);
        r->red = !r->red;
    }
    static Node* balance(Node* h) {
        if (isRed(h->right) && !isRed(h->left)) h = rotateLeft(h);
        if (isRed(h->left) && isRed(h->left->left)) h = rotateRight(h);
        if (isRed(h->left) && isRed(h->right)) flipColors(h);
        return h;
    }

    // `h` is owned (transient) or null; returns the owned new subtree.
    Node* insertRec(Node* h, K& key, uint64_t prefix, V& value, bool& replaced) const {
        if (!h) return new Node(Entry(std::move(key), std::move(value)), prefix, true, nullptr, nullptr);
        int c = compareAt(key, prefix, h);
        if (c < 0) {
            h->left = insertRec(ownRef(h->left), key, prefix, value, replaced);
        } else if (c > 0) {
            h->right = insertRec(ownRef(h->right), key, prefix, value, replaced);
        } else {
            h->kv.second = std::move(value);
            replaced = true;
            return h;
        }
        return balance(h);
    }

    static Node* moveRedLeft(Node* h) {
        flipColors(h);
        if (isRed(h->right->left)) {
            own(h->right);
            h->right = rotateRight(h->right);
            h = rotateLeft(h);
            flipColors(h);
        }
        return h;
    }
    static Node* moveRedRight(Node* h) {
        flipColors(h);
        if (isRed(h->left->left)) {
            h = rotateRight(h);
            flipColors(h);
        }
        return h;
    }
    static Node* removeMin(Node* h) {
        if (!h->left) {
            release(h);
            return nullptr;
        }
        if (!isRed(h->left) && !isRed(h->left->left)) h = moveRedLeft(h);
        own(h->left);
        h->left = removeMin(h->left);
        return balance(h);
    }

    // `h` is owned and the key is in its subtree.
    template <class Q>
    Node* removeRec(Node* h, const Q& key) const {
        if (cmp_(key, h->kv.first) < 0) {
            if (!isRed(h->left) && !isRed(h->left->left)) h = moveRedLeft(h);
            own(h->left);
            h->left = removeRec(h->left, key);
        } else {
            if (isRed(h->left)) h = rotateRight(h);
            if (cmp_(key, h->kv.first) == 0 && !h->right) {
                release(h);
                return nullptr;
            }
            if (!isRed(h->right) && !isRed(h->right->left)) h = moveRedRight(h);
            if (cmp_(key, h->kv.first) == 0) {
                const Node* m = h->right;
                while (m->left) m = m->left;
                h->kv = m->kv;
                h->prefix = m->prefix;
                h->keepText();
                own(h->right);
                h->right = removeMin(h->right);
            } else {
                own(h->right);
                h->right = removeRec(h->right, key);
            }
        }
        return balance(h);
    }

    // A valid left-leaning tree over sorted entries in linear time: the
    // entries are laid out as a 2-3 tree with every leaf at the same depth
    // (3-nodes become a black node with a red left child). Pooled nodes are
    // placed in runs, each holding a subtree's top kRunLevels levels, so a
    // descent through a tree too large for the caches waits for one run
    // every kRunLevels levels (see prefetchChildRun) rather than for each
    // node.
    static Node* buildBalanced(Entry* entries, size_t n) {
        size_t height = 0;
        while ((size_t(2) << height) - 1 <= n) ++height;  // 2^h - 1 <= n < 2^(h+1) - 1
        Node* root = build23(entries, n, height, nullptr, 0);
        finalize(root);
        if (root) root->red = false;
        return root;
    }
    // Most keys a 2-3 tree of this height holds (3^h - 1), saturating.
    static size_t maxKeys(size_t height) {
        size_t m = 1;
        for (size_t i = 0; i < height; ++i) {
            if (m > SIZE_MAX / 3) return SIZE_MAX;
            m *= 3;
        }
        return m - 1;
    }
    // How build23 splits n keys of a tree of this height: a 2-node (one
    // key, two children) or a 3-node (two keys, three children).
    static bool isTwoNode(size_t n, size_t height) {
        size_t childMax = maxKeys(height - 1);
        return n - 1 <= (childMax == SIZE_MAX ? SIZE_MAX : 2 * childMax);
    }
    // Nodes build23 makes for n keys within `levels` links of the top.
    static size_t topNodes(size_t n, size_t height, size_t levels) {
        if (n == 0 || height == 0 || levels == 0) return 0;
        if (isTwoNode(n, height)) {
            size_t left = (n - 1) / 2;
            return 1 + topNodes(left, height - 1, levels - 1) + topNodes(n - 1 - left, height - 1, levels - 1);
        }
        size_t rest = n - 2, a = rest / 3, b = (rest - a) / 2, c = rest - a - b;
        size_t lower = levels < 2 ? 0 : 1 + topNodes(a, height - 1, levels - 2) + topNodes(b, height - 1, levels - 2);
        return 1 + lower + topNodes(c, height - 1, levels - 1);
    }

    // Slots for the top levels of a subtree, taken in the order the build
    // asks for them; what is left is freed when the subtree is done.
    static constexpr size_t kRunLevels = 4;
    struct Run {
        char* slots = nullptr;
        size_t size = 0;
        size_t used = 0;
        void* take() {
            if (used < size) return slots + 64 * used++;
            return Node::operator new(sizeof(Node));
        }
        void finish() {
            for (; used < size; ++used) Node::Pool::deallocate(slots + 64 * used);
        }
    };
    static void startRun(Run& run, size_t n, size_t height) {
        if constexpr (Node::kPooled) {
            size_t want = topNodes(n, height, kRunLevels);
            if (want < 3) return;
            size_t size = want <= 4 ? 4 : want <= 8 ? 8 : 16;
            run.slots = static_cast<char*>(Node::Pool::allocateRun(size));
            if (run.slots) run.size = size;
        }
    }
    // `run` holds the slots of the levels above; `level` is this subtree's
    // depth below the run's top. `top` (when given) tells whether the node
    // returned starts a run of its own.
    static Node* build23(Entry* entries, size_t n, size_t height, Run* run, size_t level, bool* top = nullptr) {
        if (n == 0 || height == 0) return nullptr;
        Run own;
        if (!run || level >= kRunLevels) {
            startRun(own, n, height);
            run = &own;
            level = 0;
        }
        if (top) *top = run == &own && own.slots;
        Node* node;
        if (isTwoNode(n, height)) {
            void* slot = run->take();
            size_t left = (n - 1) / 2;
            bool leftTop = false, rightTop = false;
            Node* l = build23(entries, left, height - 1, run, level + 1, &leftTop);
            Node* r = build23(entries + left + 1, n - 1 - left, height - 1, run, level + 1, &rightTop);
            const uint64_t prefix = orderPrefix(entries[left].first);
            node = ::new (slot) Node(std::move(entries[left]), prefix, false, l, r);
            node->leftRun = leftTop;
            node->rightRun = rightTop;
        } else {
            size_t rest = n - 2;
            size_t a = rest / 3;
            size_t b = (rest - a) / 2;
            size_t c = rest - a - b;
            void* upperSlot = run->take();
            void* lowerSlot = run->take();
            bool top0 = false, top1 = false, top2 = false;
            Node* c0 = build23(entries, a, height - 1, run, level + 2, &top0);
            Node* c1 = build23(entries + a + 1, b, height - 1, run, level + 2, &top1);
            Node* c2 = build23(entries + a + b + 2, c, height - 1, run, level + 1, &top2);
            const uint64_t lowerPrefix = orderPrefix(entries[a].first);
            const uint64_t upperPrefix = orderPrefix(entries[a + b + 1].first);
            Node* lower = ::new (lowerSlot) Node(std::move(entries[a]), lowerPrefix, true, c0, c1);
            lower->leftRun = top0;
            lower->rightRun = top1;
            node = ::new (upperSlot) Node(std::move(entries[a + b + 1]), upperPrefix, false, lower, c2);
            node->rightRun = top2;
        }
        if (run == &own) own.finish();
        return node;
    }

    template <class Q>
    size_t lowerBound(const Q& key) const {
        size_t lo = 0, hi = count_;
        while (lo < hi) {
            size_t mid = (lo + hi) / 2;
            if (cmp_(keys_->at(mid), key) < 0) {
                lo = mid + 1;
            } else {
                hi = mid;
            }
        }
        return lo;
    }

    template <class F>
    static bool forEachRec(const Node* n, F& f) {
        while (n) {
            if (!forEachRec(n->left, f)) return false;
            if (!f(n->kv.first, n->kv.second)) return false;
            n = n->right;
        }
        return true;
    }
    template <class F>
    static bool forEachReverseRec(const Node* n, F& f) {
        while (n) {
            if (!forEachReverseRec(n->right, f)) return false;
            if (!f(n->kv.first, n->kv.second)) return false;
            n = n->left;
        }
        return true;
    }

    int blackHeight(const Node* n, size_t& seen, const K*& last) const {
        if (!n) return 0;
        if (isRed(n->right)) return -1;
        if (isRed(n) && isRed(n->left)) return -1;
        int l = blackHeight(n->left, seen, last);
        if (l < 0) return -1;
        if (last && cmp_(*last, n->kv.first) >= 0) return -1;
        last = &n->kv.first;
        ++seen;
        int r = blackHeight(n->right, seen, last);
        if (r < 0 || l != r) return -1;
        return l + (n->red ? 0 : 1);
    }

    [[no_unique_address]] Compare cmp_;
    // The array form: keys_ (and values_ unless kNoValues) when not empty.
    KeyBlock* keys_ = nullptr;
    ValueBlock* values_ = nullptr;
    Node* root_ = nullptr;
    size_t count_ = 0;
};

// A set in the same two forms: the keys of a dictionary with no values.
template <class T, class Compare>
class FImmutableSortedSet {
    struct Nothing {};
    using Dict = FImmutableSortedDictionary<T, Nothing, Compare>;

public:
    FImmutableSortedSet() = default;
    explicit FImmutableSortedSet(Compare cmp) : dict_(std::move(cmp)) {}

    static FImmutableSortedSet fromElements(std::vector<T> elements, Compare cmp = Compare()) {
        std::vector<typename Dict::Entry> entries;
        entries.reserve(elements.size());
        for (auto& e : elements) entries.emplace_back(std::move(e), Nothing{});
        FImmutableSortedSet s;
        s.dict_ = Dict::fromEntries(std::move(entries), std::move(cmp));
        return s;
    }

    size_t count() const { return dict_.count(); }
    bool isEmpty() const { return dict_.isEmpty(); }
    template <class Q>
    bool contains(const Q& e) const {
        return dict_.contains(e);
    }
    FImmutableSortedSet insert(T e) const { return FImmutableSortedSet(dict_.insert(std::move(e), Nothing{})); }
    template <class Q>
    FImmutableSortedSet remove(const Q& e) const {
        return FImmutableSortedSet(dict_.remove(e));
    }
    const T* first() const {
        auto e = dict_.minEntry();
        return e ? &e->first : nullptr;
    }
    const T* last() const {
        auto e = dict_.maxEntry();
        return e ? &e->first : nullptr;
    }
    // The element just before `e`; nullptr when none.
    template <class Q>
    const T* predecessor(const Q& e) const {
        auto p = dict_.predecessorEntry(e);
        return p ? &p->first : nullptr;
    }
    template <class F>
    bool forEach(F&& f) const {
        return dict_.forEach([&](const T& e, const Nothing&) { return f(e); });
    }
    template <class F>
    bool forEachReverse(F&& f) const {
        return dict_.forEachReverse([&](const T& e, const Nothing&) { return f(e); });
    }

    class Iterator {
    public:
        bool valid() const { return it_.valid(); }
        const T& element() const { return it_.key(); }
        void next() { it_.next(); }

    private:
        friend class FImmutableSortedSet;
        typename Dict::Iterator it_;
    };
    Iterator iterator(bool reverse = false) const {
        Iterator i;
        i.it_ = dict_.iterator(reverse);
        return i;
    }
    template <class Q>
    Iterator iteratorFrom(const Q& e, bool reverse = false) const {
        Iterator i;
        i.it_ = dict_.iteratorFrom(e, reverse);
        return i;
    }
    bool checkInvariants() const { return dict_.checkInvariants(); }

private:
    explicit FImmutableSortedSet(Dict d) : dict_(std::move(d)) {}
    Dict dict_;
};
