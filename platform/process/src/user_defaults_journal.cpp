#include "user_defaults_journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/clock.h"
#include "platform/file_manager.h"
#include "platform/format.h"
#include "platform/plist.h"
#include "platform/store_writes.h"
#include "platform/system_log.h"
#include "platform/utf8.h"

namespace ns::defaultsJournal {

// Equal and of the same kinds throughout: Value's == takes 1 and 1.0 as
// equal, but the list must keep which one was stored.
bool identical(const Value& a, const Value& b) {
    if (a.type() != b.type()) return false;
    if (const Array* x = a.arrayOrNull()) {
        const Array& y = b.asArray();
        return x->size() == y.size() && std::equal(x->begin(), x->end(), y.begin(), identical);
    }
    if (const Dictionary* x = a.dictionaryOrNull()) {
        const Dictionary& y = b.asDictionary();
        return x->size() == y.size() && std::equal(x->begin(), x->end(), y.begin(), [](const auto& l, const auto& r) {
                   return l.first == r.first && identical(l.second, r.second);
               });
    }
    return a == b;
}

namespace {

constexpr size_t kHeaderBytes = 8;
constexpr uint8_t kSet = 'S';
constexpr uint8_t kRemove = 'R';
constexpr uint8_t kClear = 'C';

void putU32(uint8_t* at, uint32_t v) {
    for (int i = 0; i < 4; ++i) at[i] = uint8_t(v >> (8 * i));
}

uint32_t getU32(const uint8_t* at) {
    return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

uint32_t checksum(const uint8_t* length, const uint8_t* body, size_t bodyBytes) {
    uLong crc = ::crc32(0L, Z_NULL, 0);
    crc = ::crc32(crc, length, 4);
    // zlib takes at most a uInt at a time.
    for (size_t done = 0; done < bodyBytes;) {
        const uInt step = uInt(std::min<size_t>(bodyBytes - done, 1u << 30));
        crc = ::crc32(crc, body + done, step);
        done += step;
    }
    return uint32_t(crc);
}

// Header, kind, then `rest`.
Data record(uint8_t kind, const uint8_t* rest, size_t restBytes) {
    Data out(kHeaderBytes + 1 + restBytes);
    putU32(out.data(), uint32_t(1 + restBytes));
    out[kHeaderBytes] = kind;
    if (restBytes > 0) std::copy(rest, rest + restBytes, out.begin() + kHeaderBytes + 1);
    putU32(out.data() + 4, checksum(out.data(), out.data() + kHeaderBytes, 1 + restBytes));
    return out;
}

uint64_t getBE(const uint8_t* at, size_t bytes) {
    uint64_t v = 0;
    for (size_t i = 0; i < bytes; ++i) v = v << 8 | at[i];
    return v;
}

// A UID anywhere in a binary list reads as the dictionary {"CF$UID": n},
// which no caller stored: setObject's lists never hold one. The reader
// accepted the list, so only the object table is walked here, each entry's
// marker looked at (0x8_ is a UID), with every offset checked again.
bool holdsUID(const uint8_t* list, size_t bytes) {
    constexpr size_t kTrailer = 32;
    if (bytes < 8 + kTrailer) return true;
    const uint8_t* trailer = list + bytes - kTrailer;
    const size_t offsetSize = trailer[6];
    const uint64_t objects = getBE(trailer + 8, 8);
    const uint64_t table = getBE(trailer + 24, 8);
    if (offsetSize == 0 || offsetSize > 8 || table > bytes - kTrailer ||
        objects > (bytes - kTrailer - table) / offsetSize) {
        return true;
    }
    for (uint64_t i = 0; i < objects; ++i) {
        const uint64_t at = getBE(list + table + i * offsetSize, offsetSize);
        if (at < 8 || at >= table || list[at] >> 4 == 0x8) return true;
    }
    return false;
}

// The body of a complete record whose checksum matched: sound when it is
// what one of the three writers wrote.
bool readBody(const uint8_t* body, size_t bytes, Record* out) {
    out->kind = body[0];
    if (out->kind == kClear) return bytes == 1;
    if (out->kind == kRemove) {
        out->key.assign(reinterpret_cast<const char*>(body + 1), bytes - 1);
        return keyAListCanHold(out->key);
    }
    if (out->kind != kSet) return false;
    static constexpr char kMagic[] = "bplist00";
    if (bytes - 1 < sizeof kMagic - 1 || std::memcmp(body + 1, kMagic, sizeof kMagic - 1) != 0) return false;
    plist::Format format = plist::Format::XML;
    Value pair = plist::parse(Data(body + 1, body + bytes), nullptr, &format);
    const Dictionary* d = pair.dictionaryOrNull();
    if (format != plist::Format::Binary || !d || d->size() != 1 || holdsUID(body + 1, bytes - 1)) return false;
    out->key = d->begin()->first;
    out->value = d->begin()->second;
    return true;
}

int lengthOf(int fd, int64_t* length) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return errno;
    *length = st.st_size;
    return 0;
}

// Preferences, when someone removed it, inside a Library that is still
// there: never a whole sandbox that is gone.
bool makeFolderOf(const std::string& path) {
    const std::string dir = path.substr(0, path.rfind('/'));
    const std::string library = dir.substr(0, dir.rfind('/'));
    struct stat st;
    if (::stat(library.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    return ::mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST;
}

}  // namespace

Data setRecord(const Data& onePairList) { return record(kSet, onePairList.data(), onePairList.size()); }

Data removeRecord(const std::string& key) {
    return record(kRemove, reinterpret_cast<const uint8_t*>(key.data()), key.size());
}

Data clearRecord() { return record(kClear, nullptr, 0); }

bool keyAListCanHold(std::string_view key) {
    return key.find('\0') == std::string_view::npos && utf8::isValid(key);
}

Record checkRecord(const uint8_t* at, size_t available) {
    Record out;
    if (available < kHeaderBytes) {
        out.state = Ending::Torn;
        return out;
    }
    const size_t bodyBytes = getU32(at);
    if (bodyBytes > available - kHeaderBytes) {
        out.state = Ending::Torn;
        return out;
    }
    out.bytes = kHeaderBytes + bodyBytes;
    const uint8_t* body = at + kHeaderBytes;
    if (bodyBytes == 0 || checksum(at, body, bodyBytes) != getU32(at + 4) || !readBody(body, bodyBytes, &out)) {
        out.state = Ending::Damaged;
    }
    return out;
}

Replayed replay(const Data& bytes, Dictionary* into, size_t from) {
    Replayed out;
    size_t at = std::min(from, bytes.size());
    while (at < bytes.size()) {
        Record record = checkRecord(bytes.data() + at, bytes.size() - at);
        if (record.state != Ending::Whole) {
            out.ending = record.state;
            break;
        }
        at += record.bytes;
        ++out.records;
        if (record.kind == kClear) {
            out.cleared = true;
            if (into && !into->empty()) {
                into->clear();
                out.changed = true;
            }
        } else if (!into) {
            continue;
        } else if (record.kind == kRemove) {
            if (into->erase(record.key) > 0) out.changed = true;
        } else {
            auto it = into->find(record.key);
            if (it != into->end() && identical(it->second, record.value)) continue;
            into->insert_or_assign(std::move(record.key), std::move(record.value));
            out.changed = true;
        }
    }
    out.soundBytes = at;
    return out;
}

Deadline Deadline::after(double seconds) { return Deadline(Clock::nowSeconds() + seconds, false); }

Deadline Deadline::afterReal(double seconds) {
    const double now = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    return Deadline(now + seconds, true);
}

bool Deadline::passed() const {
    const double now = real_ ? std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count()
                             : Clock::nowSeconds();
    return now >= at_;
}

Journal::Journal(std::string path) : path_(std::move(path)) {}

Journal::~Journal() {
    if (fd_ >= 0) closeFile();
}

namespace {

// The lock, if it comes free before the deadline. flock has no timed form,
// so it is polled, a little less often the longer it stays held.
int lockFileBefore(int fd, const Deadline& deadline) {
    auto pause = std::chrono::microseconds(200);
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) return errno;
        if (deadline.passed()) return Journal::kBusy;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(20'000));
    }
}

}  // namespace

// Opens the path (again, when a fold removed or set aside the file this
// object had) and takes its lock; a file the path no longer names once the
// lock is held was folded meanwhile, so the path is opened anew.
int Journal::openLocked(bool create, int64_t* length, const Deadline& deadline) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        if (fd_ < 0) {
            const int failure = storeWrites::opening("user defaults journal open");
            fd_ = failure ? -1 : ::open(path_.c_str(), O_RDWR | O_APPEND | O_CLOEXEC | (create ? O_CREAT : 0), 0644);
            if (fd_ < 0) {
                const int error = failure ? failure : errno;
                if (error == ENOENT && create && attempt == 0 && makeFolderOf(path_)) continue;
                return error;
            }
            knownEnd_ = -1;
        }
        if (const int error = lockFileBefore(fd_, deadline)) return error;
        locked_ = true;
        struct stat held;
        struct stat named;
        if (::fstat(fd_, &held) != 0) {
            const int error = errno;
            unlock();
            return error;
        }
        const bool stillNamed = ::stat(path_.c_str(), &named) == 0 && named.st_ino == held.st_ino &&
                                named.st_dev == held.st_dev;
        if (stillNamed) {
            if (length) *length = held.st_size;
            return 0;
        }
        closeFile();
    }
    return EAGAIN;
}

// Another writer's torn record (it was killed mid-write, or its disk
// filled) would hide every record after it from the replay: it is cut, with
// the lock held, so nobody is writing it still. Damage is not cut: it goes
// aside whole at the next fold, and nothing is appended behind it until
// then. Only what came after this object's own last append is checked; the
// records before it were checked or written by this object.
int Journal::cutTornTail(int64_t length) {
    Data bytes;
    if (const int error = read(&bytes)) return error;
    const size_t from = knownEnd_ > 0 && knownEnd_ < length ? size_t(knownEnd_) : 0;
    const Replayed sound = replay(bytes, nullptr, from);
    if (sound.ending == Ending::Whole) return 0;
    if (sound.ending == Ending::Damaged) return kDamaged;
    SystemLog::write(SystemLog::kError,
                     format("UserDefaults: %s ends in a torn record of %zu bytes (a write cut short); it is cut.",
                            path_.c_str(), bytes.size() - sound.soundBytes));
    if (::ftruncate(fd_, off_t(sound.soundBytes)) != 0) return errno;
    return 0;
}

int Journal::append(const Data& record, const Deadline& deadline, bool keepLocked) {
    int64_t length = 0;
    if (const int error = openLocked(true, &length, deadline)) return error;
    int error = 0;
    if (length != knownEnd_ && length > 0) {
        error = cutTornTail(length);
        if (error == 0) error = lengthOf(fd_, &length);
    }
    if (error == 0) {
        ssize_t written;
        do {
            written = ::write(fd_, record.data(), record.size());
        } while (written < 0 && errno == EINTR);
        if (written == ssize_t(record.size())) {
            knownEnd_ = length + written;
        } else {
            // A short write (a full disk) is taken back: no torn record of
            // ours stays for the next appender to find.
            error = written < 0 ? errno : ENOSPC;
            if (written > 0 && ::ftruncate(fd_, off_t(length)) != 0) knownEnd_ = -1;
        }
    }
    if (!keepLocked || error != 0) unlock();
    return error;
}

int Journal::lock(const Deadline& deadline) { return openLocked(false, nullptr, deadline); }

int Journal::read(Data* out) {
    int64_t length = 0;
    if (const int error = lengthOf(fd_, &length)) return error;
    out->resize(size_t(length));
    size_t done = 0;
    while (done < out->size()) {
        const ssize_t n = ::pread(fd_, out->data() + done, out->size() - done, off_t(done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) break;
        done += size_t(n);
    }
    out->resize(done);
    return 0;
}

int Journal::remove() {
    if (::unlink(path_.c_str()) != 0 && errno != ENOENT) {
        const int error = errno;
        unlock();
        return error;
    }
    closeFile();
    return 0;
}

std::optional<std::string> Journal::setAside(ErrorRef* error) {
    auto aside = FileManager().setAside(path_, error);
    if (!aside) {
        unlock();
        return std::nullopt;
    }
    closeFile();
    return aside;
}

// Unlocked before the close: a copy of the descriptor (a forked child holds
// one, or its parent) would otherwise keep the lock past the close.
void Journal::closeFile() {
    unlock();
    ::close(fd_);
    fd_ = -1;
    knownEnd_ = -1;
}

void Journal::unlock() {
    if (!locked_) return;
    ::flock(fd_, LOCK_UN);
    locked_ = false;
}

}  // namespace ns::defaultsJournal
