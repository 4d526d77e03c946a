#pragma once
// NSFileManager stand-in: the sandbox's standard directories, existence
// checks, directories, removal, listing, whole-file reads and atomic writes,
// attributes, the exclude-from-backup and immutable flags, the data
// protection class and the free space of a volume.
//
// Errors are NSCocoaErrorDomain file errors (codes below) with the path in
// kFilePathErrorKey and in the description, and the POSIX error underneath
// (NSPOSIXErrorDomain, code = errno).

#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/value.h"

namespace ns {

// NSCocoaErrorDomain file error codes.
enum FileErrorCode : long {
    kFileNoSuchFileError = 4,
    kFileLockingError = 255,
    kFileReadUnknownError = 256,
    kFileReadNoPermissionError = 257,
    kFileReadInvalidFileNameError = 258,
    kFileReadCorruptFileError = 259,
    kFileReadNoSuchFileError = 260,
    kFileReadTooLargeError = 263,
    kFileWriteUnknownError = 512,
    kFileWriteNoPermissionError = 513,
    kFileWriteInvalidFileNameError = 514,
    kFileWriteFileExistsError = 516,
    kFileWriteOutOfSpaceError = 640,
    kFileWriteVolumeReadOnlyError = 642,
};

// The error for a failed file operation: `posixError` is the errno,
// `forWriting` picks the write codes, `operation` (e.g. "read", "remove") goes
// into the failure reason.
ErrorRef fileError(int posixError, const std::string& path, bool forWriting, const std::string& operation = {});

enum class SearchPathDirectory {
    Documents,           // Home/Documents
    ApplicationSupport,  // Home/Library/Application Support
    Caches,              // Home/Library/Caches
    Library,             // Home/Library
    Preferences,         // Home/Library/Preferences
    Temporary,           // Home/tmp
};

// NSFileProtectionKey values.
inline constexpr const char* kFileProtectionNone = "NSFileProtectionNone";
inline constexpr const char* kFileProtectionComplete = "NSFileProtectionComplete";
inline constexpr const char* kFileProtectionCompleteUnlessOpen = "NSFileProtectionCompleteUnlessOpen";
inline constexpr const char* kFileProtectionCompleteUntilFirstUserAuthentication =
    "NSFileProtectionCompleteUntilFirstUserAuthentication";

struct FileAttributes {
    uint64_t size = 0;
    Date modificationDate;
    Date creationDate;  // the status-change time where the file system keeps no birth time
    bool isDirectory = false;
    bool isSymbolicLink = false;
    int permissions = 0;  // st_mode & 07777
};

// NSFileSystemSize and NSFileSystemFreeSize of a volume, in bytes.
struct FileSystemAttributes {
    uint64_t size = 0;
    uint64_t freeSize = 0;
};

struct FileWriteOptions {
    bool atomically = true;  // temporary file, synced, then renamed (platform/atomic_file.h)
    int permissions = 0644;  // mode of a newly created file
    bool createIntermediateDirectories = false;
};

class FileManager {
public:
    struct Options {
        // Keep the exclude-from-backup and immutable flags and the
        // protection class in user extended attributes when the file system
        // supports them; off, or where unsupported, they go to records in the
        // sandbox root.
        bool useExtendedAttributes = true;
    };

    FileManager() = default;
    explicit FileManager(Options options) : options_(options) {}

    static FileManager& defaultManager();

    // The directory in the current sandbox (created if missing).
    std::string pathForDirectory(SearchPathDirectory directory) const;
    std::string temporaryDirectory() const { return pathForDirectory(SearchPathDirectory::Temporary); }

    bool fileExists(const std::string& path) const;
    bool fileExists(const std::string& path, bool* isDirectory) const;
    bool isDirectory(const std::string& path) const;

    // Succeeds when the directory already exists with intermediates; fails
    // with kFileWriteFileExistsError without them.
    bool createDirectory(const std::string& path, bool withIntermediates, ErrorRef* error = nullptr,
                         int permissions = 0755) const;
    // Removes a file or a whole directory tree (and its exclude-from-backup
    // records). A missing item is kFileNoSuchFileError.
    bool removeItem(const std::string& path, ErrorRef* error = nullptr) const;
    // Renames; fails with kFileWriteFileExistsError when `to` exists.
    bool moveItem(const std::string& from, const std::string& to, ErrorRef* error = nullptr) const;
    // Moves a damaged file or folder out of the way and keeps it beside
    // itself, as "<path><suffix>" or, when earlier ones are there,
    // "<path><suffix>-2", "-3", ...: an earlier one is never replaced. Returns
    // the new path; nullopt with *error when it could not be moved.
    std::optional<std::string> setAside(const std::string& path, ErrorRef* error = nullptr,
                                        const std::string& suffix = ".damaged") const;
    // Names (not paths) of the entries, sorted; nullopt with *error when the
    // directory can't be read.
    std::optional<std::vector<std::string>> contentsOfDirectory(const std::string& path,
                                                                ErrorRef* error = nullptr) const;

    std::optional<Data> readData(const std::string& path, ErrorRef* error = nullptr) const;
    // Atomic by default; the replaced file's backup and immutable flags and
    // protection class are kept.
    bool writeData(const std::string& path, const Data& data, ErrorRef* error = nullptr,
                   FileWriteOptions options = {}) const;

    std::optional<FileAttributes> attributesOfItem(const std::string& path, ErrorRef* error = nullptr) const;

    // NSURLIsExcludedFromBackupKey. Persists across processes.
    bool setExcludedFromBackup(const std::string& path, bool excluded, ErrorRef* error = nullptr) const;
    // False for a missing item.
    bool isExcludedFromBackup(const std::string& path) const;

    // The volume holding `path` (statvfs: all its blocks, and those
    // available to unprivileged users, times the fragment size); nullopt
    // with a file error for the operation "statfs" when the path cannot be
    // reached.
    std::optional<FileSystemAttributes> attributesOfFileSystem(const std::string& path,
                                                               ErrorRef* error = nullptr) const;
    // Its free size alone.
    std::optional<uint64_t> systemFreeSize(const std::string& path) const;

    // NSFileImmutable. Linux's own immutable flag needs CAP_LINUX_IMMUTABLE,
    // so the flag is kept like the backup flag ("user.almavel.immutable"):
    // reported, kept across rewrites, but not enforced (writes through this
    // manager still succeed). False for a missing item.
    bool isImmutable(const std::string& path) const;
    bool setImmutable(const std::string& path, bool immutable, ErrorRef* error = nullptr) const;

    // NSFileProtectionKey: one of the kFileProtection* values, kept like the
    // flags ("user.almavel.protection"); kFileProtectionCompleteUntilFirstUserAuthentication
    // when never set (or for a missing item). Another value is refused with
    // kFileWriteUnknownError naming it, and nothing is changed.
    std::string protectionClass(const std::string& path) const;
    bool setProtectionClass(const std::string& path, std::string protection, ErrorRef* error = nullptr) const;

private:
    Options options_;
};

}  // namespace ns
