#include "user_defaults_journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>

#include "platform/format.h"
#include "platform/plist.h"
#include "platform/system_log.h"

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

// Applies one record's body; false when it makes no sense (a body whose
// checksum matched by chance, or written by a different format).
bool apply(const uint8_t* body, size_t bytes, Dictionary* into, Replayed* replayed) {
    const uint8_t kind = body[0];
    if (kind == kClear && bytes == 1) {
        if (into && !into->empty()) {
            into->clear();
            replayed->changed = true;
        }
        replayed->cleared = true;
        return true;
    }
    if (kind == kRemove) {
        if (into && into->erase(std::string(reinterpret_cast<const char*>(body + 1), bytes - 1)) > 0) {
            replayed->changed = true;
        }
        return true;
    }
    if (kind != kSet) return false;
    if (!into) return true;
    Value pair = plist::parse(Data(body + 1, body + bytes));
    const Dictionary* d = pair.dictionaryOrNull();
    if (!d) return false;
    for (const auto& [key, value] : *d) {
        auto it = into->find(key);
        if (it != into->end() && identical(it->second, value)) continue;
        into->insert_or_assign(key, value);
        replayed->changed = true;
    }
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

Replayed replay(const Data& bytes, Dictionary* into) {
    Replayed out;
    size_t at = 0;
    while (bytes.size() - at >= kHeaderBytes) {
        const uint8_t* header = bytes.data() + at;
        const size_t bodyBytes = getU32(header);
        if (bodyBytes == 0 || bodyBytes > bytes.size() - at - kHeaderBytes) break;
        const uint8_t* body = header + kHeaderBytes;
        if (checksum(header, body, bodyBytes) != getU32(header + 4)) break;
        if (!apply(body, bodyBytes, into, &out)) break;
        at += kHeaderBytes + bodyBytes;
        ++out.records;
    }
    out.soundBytes = at;
    return out;
}

Journal::Journal(std::string path) : path_(std::move(path)) {}

Journal::~Journal() {
    if (fd_ >= 0) closeFile();
}

// Opens the path (again, when a fold removed the file this object had) and
// takes its lock; a file found unlinked once the lock is held was folded
// meanwhile, so the path is opened anew.
int Journal::openLocked(bool create, int64_t* length) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        if (fd_ < 0) {
            fd_ = ::open(path_.c_str(), O_RDWR | O_APPEND | O_CLOEXEC | (create ? O_CREAT : 0), 0644);
            if (fd_ < 0) {
                const int error = errno;
                if (error == ENOENT && create && attempt == 0 && makeFolderOf(path_)) continue;
                return error;
            }
            knownEnd_ = -1;
        }
        while (::flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) return errno;
        }
        struct stat st;
        if (::fstat(fd_, &st) != 0) {
            const int error = errno;
            ::flock(fd_, LOCK_UN);
            return error;
        }
        locked_ = true;
        if (st.st_nlink > 0) {
            if (length) *length = st.st_size;
            return 0;
        }
        closeFile();
    }
    return EAGAIN;
}

// Another writer's torn record (it was killed mid-write, or its disk
// failed) would hide every record after it from the replay: it is cut, with
// the lock held, so nobody is writing it still.
int Journal::cutDamagedTail() {
    Data bytes;
    if (const int error = read(&bytes)) return error;
    const Replayed sound = replay(bytes, nullptr);
    if (sound.soundBytes == bytes.size()) return 0;
    SystemLog::write(SystemLog::kError,
                     format("UserDefaults: %s ends in %zu damaged bytes after %zu sound records; they are cut.",
                            path_.c_str(), bytes.size() - sound.soundBytes, sound.records));
    if (::ftruncate(fd_, off_t(sound.soundBytes)) != 0) return errno;
    return 0;
}

int Journal::append(const Data& record, bool keepLocked) {
    int64_t length = 0;
    if (const int error = openLocked(true, &length)) return error;
    int error = 0;
    if (length != knownEnd_ && length > 0) {
        error = cutDamagedTail();
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

int Journal::lock() { return openLocked(false, nullptr); }

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
