#pragma once
// The change journal of one user-defaults domain (user_defaults.h says why
// there is one): its record format and the file, appended and folded under
// one lock shared by every object and process using the domain.
//
// A record is its body's length (4 bytes, little-endian), a CRC-32 of those
// four bytes and the body (4 bytes, little-endian), then the body: 'S' and
// the binary property list of the one-pair dictionary {key: value} (the
// form setObject checks the value in anyway, so nothing is serialised
// twice), 'R' and the key's bytes, or 'C' alone (every key removed). The
// length is covered by the checksum, so a damaged length is found like a
// damaged body; a body of nothing, as a tail of zeros gives, is no record.

#include <cstdint>
#include <string>

#include "platform/value.h"

namespace ns::defaultsJournal {

Data setRecord(const Data& onePairList);
Data removeRecord(const std::string& key);
Data clearRecord();

struct Replayed {
    // The length of the sound records from the start; a shorter length
    // than the journal's means a damaged or torn record ends what counts.
    size_t soundBytes = 0;
    size_t records = 0;
    // A clear record was among them.
    bool cleared = false;
    // Some record changed what it was applied to (a value set anew, a
    // removal of a key that was there).
    bool changed = false;
};

// Equal and of the same kinds throughout (1 and 1.0 are not).
bool identical(const Value& a, const Value& b);

// Applies the sound records of `bytes`, in order, to `*into`, stopping at the
// first damaged one; with `into` null only measures them (checksums alone).
Replayed replay(const Data& bytes, Dictionary* into);

// The journal file. Appends take the file's exclusive lock (flock, one per
// open file, so two objects of one process exclude each other as two
// processes do), which a fold holds while it reads the journal, replaces the
// list and removes the journal: no append lands between the fold's read and
// the removal, and none lands in a removed file (an appender that gets the
// lock of a file already unlinked opens the path again). Not thread-safe:
// the owning object's mutex guards it.
class Journal {
public:
    explicit Journal(std::string path);
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    const std::string& path() const { return path_; }

    // Appends `record` with one write(2), creating the journal (and its
    // folder, inside a Library that exists) when missing. A tail another
    // writer left torn is cut first, so a sound record never follows a
    // damaged one. With `keepLocked` the lock stays held for what follows
    // (read, remove, unlock). Returns 0 or an errno value; on failure the
    // journal is as it was.
    int append(const Data& record, bool keepLocked = false);
    // The journal's length after this object's last append, 0 when unknown.
    uint64_t lengthAfterAppend() const { return knownEnd_ < 0 ? 0 : uint64_t(knownEnd_); }

    // Takes the lock of the existing journal: 0 (held), ENOENT (there is
    // none, nothing is held) or an errno value.
    int lock();
    // With the lock held: the whole journal.
    int read(Data* out);
    // With the lock held: removes the journal; the lock goes with it.
    int remove();
    // Lets go of the lock; the file stays open for the next append.
    void unlock();

private:
    int openLocked(bool create, int64_t* length);
    int cutDamagedTail();
    void closeFile();

    std::string path_;
    int fd_ = -1;
    bool locked_ = false;
    // The length this object last saw the journal end at: a different
    // length means another writer came by, whose tail is checked.
    int64_t knownEnd_ = -1;
};

}  // namespace ns::defaultsJournal
