#pragma once
// The change journal of one user-defaults domain (user_defaults.h says why
// there is one): its record format, the one judge of which records count,
// and the file, appended and folded under one lock shared by every object
// and process using the domain.
//
// A record is its body's length (4 bytes, little-endian), a CRC-32 of those
// four bytes and the body (4 bytes, little-endian), then the body: 'S' and
// the binary property list of the one-pair dictionary {key: value} (the
// form setObject checks the value in anyway, so nothing is serialised
// twice), 'R' and the key's bytes, or 'C' alone (every key removed). The
// length is covered by the checksum, so a damaged length is found like a
// damaged body.
//
// Only what setObject, removeObjectForKey and removePersistentDomain write
// is sound: 'S' with a binary list (not XML) that is a dictionary of
// exactly one pair and holds no UID (which would read as a dictionary the
// caller never stored), 'R' with a key a list can hold (UTF-8 without
// NUL), 'C' with nothing after it. The replay and the appender's cut both
// ask checkRecord, so a record the cut lets an append follow is one the
// replay goes past: no change whose call returned sits behind a record the
// replay stops at.
//
// Where the sound records end, the rest is one of two things. A record
// whose length runs past the end of the file is torn: a crash in the
// middle of its one write(2), whose call never returned, so dropping it
// loses nothing anyone was told was kept. A complete record whose checksum
// or body is wrong (a length of 0 included, as a tail of zeros gives) is
// damage: the disk or another writer changed bytes, and the file goes
// aside for a person to look at once the sound records before it are
// folded. A damaged length that happens to point past the end reads as
// torn; nothing in the bytes tells the two apart.

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/value.h"

namespace ns::defaultsJournal {

Data setRecord(const Data& onePairList);
Data removeRecord(const std::string& key);
Data clearRecord();

// A key some list can hold, so a removal of it has a sound record.
bool keyAListCanHold(std::string_view key);

enum class Ending {
    Whole,    // every byte belongs to a sound record
    Torn,     // a last record runs past the end of the file
    Damaged,  // a complete record that is not sound
};

// The record at the start of `bytes`, as the replay takes it.
struct Record {
    Ending state = Ending::Whole;  // Whole: a sound record
    size_t bytes = 0;              // its length, header included (sound or damaged)
    uint8_t kind = 0;              // 'S', 'R' or 'C'
    std::string key;               // 'S' and 'R'
    Value value;                   // 'S'
};
// `bytes` must not be empty.
Record checkRecord(const uint8_t* bytes, size_t available);

struct Replayed {
    // The length of the sound records from the start; what comes after is
    // described by `ending`.
    size_t soundBytes = 0;
    size_t records = 0;
    Ending ending = Ending::Whole;
    // A clear record was among them.
    bool cleared = false;
    // Some record changed what it was applied to (a value set anew, a
    // removal of a key that was there).
    bool changed = false;
};

// Equal and of the same kinds throughout (1 and 1.0 are not).
bool identical(const Value& a, const Value& b);

// Applies the sound records of `bytes` from `from` (a record's start), in
// order, to `*into` (when not null), stopping at the first that is not.
Replayed replay(const Data& bytes, Dictionary* into, size_t from = 0);

// How long a lock held elsewhere is waited for. Counted on ns::Clock (a
// virtual clock's advance ends it, and only that) or, for the program's
// ending, which must end whatever clock is installed, in real time.
class Deadline {
public:
    static Deadline after(double seconds);
    static Deadline afterReal(double seconds);
    bool passed() const;

private:
    Deadline(double at, bool real) : at_(at), real_(real) {}
    double at_;
    bool real_;
};

// The journal file. Appends take the file's exclusive lock (flock, one per
// open file, so two objects of one process exclude each other as two
// processes do), which a fold holds while it reads the journal, replaces
// the list and removes the journal (or sets it aside): no append lands
// between the fold's read and the removal, and none lands in a file no
// longer at the journal's path (an appender that gets the lock of such a
// file opens the path again). Every lock is taken by polling with a
// deadline: a process that holds it and never lets go (stopped, or inside
// a write the program's end will never let finish) costs a waiter its
// deadline, never its life. Not thread-safe: the owner serialises calls.
class Journal {
public:
    explicit Journal(std::string path);
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    const std::string& path() const { return path_; }

    // The lock is held elsewhere past the deadline.
    static constexpr int kBusy = ETIMEDOUT;
    // The journal holds damage (not a torn tail): nothing was appended, and
    // the journal waits for a fold to set it aside.
    static constexpr int kDamaged = EBADMSG;

    // Appends `record` (one or more whole records) with one write(2),
    // creating the journal (and its folder, inside a Library that exists)
    // when missing. A tail another writer left torn is cut first. With
    // `keepLocked` the lock stays held for what follows (read, remove,
    // setAside, unlock). Returns 0, kBusy, kDamaged or an errno value; on
    // failure the journal is as it was and the lock is not held.
    int append(const Data& record, const Deadline& deadline, bool keepLocked = false);
    // The journal's length after this object's last append, 0 when unknown.
    uint64_t lengthAfterAppend() const { return knownEnd_ < 0 ? 0 : uint64_t(knownEnd_); }

    // Takes the lock of the existing journal: 0 (held), ENOENT (there is
    // none, nothing is held), kBusy or an errno value.
    int lock(const Deadline& deadline);
    // With the lock held: the whole journal.
    int read(Data* out);
    // With the lock held: removes the journal; the lock goes with it.
    int remove();
    // With the lock held: moves the journal aside as damaged; the lock goes
    // with it. The new path, or nullopt with *error (the lock let go).
    std::optional<std::string> setAside(ErrorRef* error);
    // Lets go of the lock; the file stays open for the next append.
    void unlock();

private:
    int openLocked(bool create, int64_t* length, const Deadline& deadline);
    int cutTornTail(int64_t length);
    void closeFile();

    std::string path_;
    int fd_ = -1;
    bool locked_ = false;
    // The length this object last saw the journal end at: a different
    // length means another writer came by, whose records are checked.
    int64_t knownEnd_ = -1;
};

}  // namespace ns::defaultsJournal
