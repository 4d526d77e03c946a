#include "platform/file_manager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "platform/atomic_file.h"
#include "platform/plist.h"
#include "platform/sandbox.h"
#include "platform/store_writes.h"
#include "platform/system_language.h"

namespace ns {

namespace fs = std::filesystem;

namespace {

// What a file carries beyond its bytes, kept per path: in a user extended
// attribute where the file system keeps them, else in a record (a property
// list from path to value) in the sandbox root. A flag's record value is
// true; other values are texts.
struct PathAttribute {
    const char* extendedAttribute;
    const char* recordName;
    const char* what;  // for error reasons
    bool isFlag;
};

constexpr PathAttribute kExcludeFromBackup{"user.almavel.exclude-from-backup", "BackupExclusions.plist",
                                           "exclude-from-backup", true};
constexpr PathAttribute kImmutable{"user.almavel.immutable", "ImmutableFlags.plist", "immutable", true};
constexpr PathAttribute kProtection{"user.almavel.protection", "FileProtection.plist", "protection class", false};
constexpr const PathAttribute* kPathAttributes[] = {&kExcludeFromBackup, &kImmutable, &kProtection};
// Longer than any value written here; a longer one was not written by us.
constexpr size_t kMaxAttributeValue = 256;

std::string parentOf(const std::string& path) {
    std::string parent = fs::path(path).parent_path().string();
    return parent.empty() ? std::string(".") : parent;
}

// As the phone words them in its own language.
std::string cocoaFileMessage(long code, const std::string& path) {
    const std::string q = "“" + path + "”";
    const std::string folder = "“" + parentOf(path) + "”";
    const bool es = systemLanguage() == SystemLanguage::Spanish;
    const auto say = [es](const std::string& english, const std::string& spanish) { return es ? spanish : english; };
    const std::string open = say("The file " + q + " couldn’t be opened", "No se ha podido abrir el archivo " + q);
    const std::string save = say("The file " + q + " couldn’t be saved", "No se ha podido guardar el archivo " + q);
    switch (code) {
        case kFileNoSuchFileError: return say("The file " + q + " doesn’t exist.", "El archivo " + q + " no existe.");
        case kFileReadNoSuchFileError: return open + say(" because there is no such file.", " porque no existe.");
        case kFileReadNoPermissionError:
            return open + say(" because you don’t have permission to view it.", " porque no tiene permiso para verlo.");
        case kFileReadInvalidFileNameError:
            return open + say(" because the file name is invalid.", " porque el nombre del archivo no es válido.");
        case kFileReadTooLargeError: return open + say(" because it is too large.", " porque es demasiado grande.");
        case kFileWriteNoPermissionError:
            return say("You don’t have permission to save the file " + q + " in the folder " + folder + ".",
                       "No tiene permiso para guardar el archivo " + q + " en la carpeta " + folder + ".");
        case kFileWriteInvalidFileNameError:
            return save + say(" because the file name is invalid.", " porque el nombre del archivo no es válido.");
        case kFileWriteFileExistsError:
            return save + say(" because a file with the same name already exists.",
                              " porque ya existe un archivo con el mismo nombre.");
        case kFileWriteOutOfSpaceError:
            return save + say(" because there isn’t enough space.", " porque no hay espacio suficiente.");
        case kFileWriteVolumeReadOnlyError:
            return save + say(" because the volume is read only.", " porque el volumen es de solo lectura.");
        case kFileReadUnknownError: return open + ".";
        default: return save + ".";
    }
}

long cocoaFileCode(int err, bool forWriting) {
    switch (err) {
        case ENOENT:
        case ENOTDIR: return forWriting ? kFileNoSuchFileError : kFileReadNoSuchFileError;
        case EACCES:
        case EPERM: return forWriting ? kFileWriteNoPermissionError : kFileReadNoPermissionError;
        case ENAMETOOLONG:
        case EINVAL: return forWriting ? kFileWriteInvalidFileNameError : kFileReadInvalidFileNameError;
        case EFBIG: return forWriting ? kFileWriteOutOfSpaceError : kFileReadTooLargeError;
        case ENOSPC:
        case EDQUOT: return forWriting ? kFileWriteOutOfSpaceError : kFileReadUnknownError;
        case EROFS: return forWriting ? kFileWriteVolumeReadOnlyError : kFileReadUnknownError;
        case EEXIST:
        case ENOTEMPTY: return forWriting ? kFileWriteFileExistsError : kFileReadUnknownError;
        default: return forWriting ? kFileWriteUnknownError : kFileReadUnknownError;
    }
}

void setError(ErrorRef* error, ErrorRef value) {
    if (error) *error = std::move(value);
}

bool unsupportedAttribute(int err) {
    return err == ENOTSUP || err == EOPNOTSUPP || err == EPERM;
}

// Absolute, normalised path used as the key of exclusion records.
std::string recordKey(const std::string& path) {
    std::error_code ec;
    fs::path p = fs::weakly_canonical(fs::absolute(path, ec), ec);
    if (ec) p = fs::absolute(path, ec).lexically_normal();
    return p.string();
}

// The sandbox-root records of path attributes for files whose file system
// keeps no user extended attributes. Every access takes this lock so
// concurrent read-modify-write cycles don't lose each other's changes.
std::mutex& recordMutex() {
    static std::mutex m;
    return m;
}

std::string recordPath(const PathAttribute& attribute) {
    return Sandbox::current()->rootPath() + "/" + attribute.recordName;
}

// Caller holds recordMutex. nullopt (and *error) when the record exists but
// can't be read, so that writers never replace a record they couldn't read.
std::optional<Dictionary> loadRecord(const std::string& file, ErrorRef* error) {
    struct stat st;
    if (::stat(file.c_str(), &st) != 0) return Dictionary{};
    Value v = plist::readFile(file, error);
    if (const Dictionary* d = v.dictionaryOrNull()) return *d;
    if (error && !*error) {
        *error = Error::make(kCocoaErrorDomain, kFileReadCorruptFileError,
                             "The file attribute record “" + file + "” is not a dictionary.");
    }
    return std::nullopt;
}

std::optional<std::string> recordValue(const PathAttribute& attribute, const std::string& key) {
    std::lock_guard lock(recordMutex());
    auto record = loadRecord(recordPath(attribute), nullptr);
    if (!record) return std::nullopt;
    auto it = record->find(key);
    if (it == record->end()) return std::nullopt;
    if (const std::string* text = it->second.stringOrNull()) return *text;
    if (it->second.boolValue()) return std::string("1");
    return std::nullopt;
}

// Sets or clears (nullopt) the record for `key`; with `subtree`, clearing
// also drops every record below key.
bool updateRecord(const PathAttribute& attribute, const std::string& key, const std::optional<std::string>& value,
                  bool subtree, ErrorRef* error) {
    std::lock_guard lock(recordMutex());
    const std::string file = recordPath(attribute);
    struct stat st;
    bool exists = ::stat(file.c_str(), &st) == 0;
    if (!exists && !value) return true;
    auto record = loadRecord(file, error);
    if (!record) return false;
    bool changed = false;
    if (value) {
        (*record)[key] = attribute.isFlag ? Value(true) : Value(*value);
        changed = true;
    } else {
        changed = record->erase(key) > 0;
        if (subtree) {
            const std::string prefix = key + "/";
            for (auto it = record->lower_bound(prefix); it != record->end() && it->first.rfind(prefix, 0) == 0;) {
                it = record->erase(it);
                changed = true;
            }
        }
    }
    if (!changed) return true;
    return plist::writeFile(file, Value(std::move(*record)), plist::Format::XML, error);
}

std::optional<std::string> extendedAttribute(const PathAttribute& attribute, const std::string& path) {
    char buf[kMaxAttributeValue];
    ssize_t n = ::getxattr(path.c_str(), attribute.extendedAttribute, buf, sizeof buf);
    if (n <= 0) return std::nullopt;
    return std::string(buf, size_t(n));
}

// The attribute's value for an item, from wherever a manager put it.
std::optional<std::string> pathAttribute(const PathAttribute& attribute, const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
    if (!S_ISLNK(st.st_mode)) {
        if (auto value = extendedAttribute(attribute, path)) return value;
    }
    return recordValue(attribute, recordKey(path));
}

// Sets the attribute of an existing item, or clears it (nullopt) in both
// places: another manager may have used the other one.
bool setPathAttribute(const PathAttribute& attribute, const std::string& path, const std::optional<std::string>& value,
                      bool useExtendedAttributes, ErrorRef* error) {
    const std::string what = std::string(value ? "set " : "clear ") + attribute.what;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        setError(error, fileError(errno, path, true, what));
        return false;
    }
    const std::string key = recordKey(path);
    const bool attributesPossible = !S_ISLNK(st.st_mode);  // user attributes can't go on symbolic links
    if (!value) {
        if (attributesPossible && ::removexattr(path.c_str(), attribute.extendedAttribute) != 0 && errno != ENODATA &&
            !unsupportedAttribute(errno)) {
            setError(error, fileError(errno, path, true, what));
            return false;
        }
        return updateRecord(attribute, key, std::nullopt, false, error);
    }
    if (useExtendedAttributes && attributesPossible) {
        if (::setxattr(path.c_str(), attribute.extendedAttribute, value->data(), value->size(), 0) == 0) return true;
        if (!unsupportedAttribute(errno)) {
            setError(error, fileError(errno, path, true, what));
            return false;
        }
    }
    return updateRecord(attribute, key, value, false, error);
}

bool writeAll(int fd, const Data& data) {
    size_t off = 0;
    while (off < data.size()) {
        ssize_t n = ::write(fd, data.data() + off, data.size() - off);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        off += size_t(n);
    }
    return true;
}

}  // namespace

ErrorRef fileError(int posixError, const std::string& path, bool forWriting, const std::string& operation) {
    long code = cocoaFileCode(posixError, forWriting);
    std::string reason = std::strerror(posixError);
    ErrorRef underlying = Error::make(kPOSIXErrorDomain, posixError, reason);
    Dictionary info;
    info[kLocalizedDescriptionKey] = cocoaFileMessage(code, path);
    info[kLocalizedFailureReasonErrorKey] = operation.empty() ? reason : operation + ": " + reason;
    info[kFilePathErrorKey] = path;
    info[kUnderlyingErrorKey] = Value(std::const_pointer_cast<Error>(underlying));
    return Error::make(kCocoaErrorDomain, code, std::move(info));
}

FileManager& FileManager::defaultManager() {
    static FileManager manager;
    return manager;
}

std::string FileManager::pathForDirectory(SearchPathDirectory directory) const {
    auto sandbox = Sandbox::current();
    std::string path;
    switch (directory) {
        case SearchPathDirectory::Documents: path = sandbox->documentsPath(); break;
        case SearchPathDirectory::ApplicationSupport: path = sandbox->applicationSupportPath(); break;
        case SearchPathDirectory::Caches: path = sandbox->cachesPath(); break;
        case SearchPathDirectory::Library: path = sandbox->libraryPath(); break;
        case SearchPathDirectory::Preferences: path = sandbox->preferencesPath(); break;
        case SearchPathDirectory::Temporary: path = sandbox->tmpPath(); break;
    }
    std::error_code ec;
    fs::create_directories(path, ec);
    return path;
}

bool FileManager::fileExists(const std::string& path) const {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

bool FileManager::fileExists(const std::string& path, bool* isDirectory) const {
    struct stat st;
    bool exists = ::stat(path.c_str(), &st) == 0;
    if (isDirectory) *isDirectory = exists && S_ISDIR(st.st_mode);
    return exists;
}

bool FileManager::isDirectory(const std::string& path) const {
    bool dir = false;
    return fileExists(path, &dir) && dir;
}

bool FileManager::createDirectory(const std::string& path, bool withIntermediates, ErrorRef* error,
                                  int permissions) const {
    setError(error, nullptr);
    if (withIntermediates) {
        if (isDirectory(path)) return true;
        std::string parent = parentOf(path);
        if (parent != path && !isDirectory(parent) && !createDirectory(parent, true, error, permissions)) {
            return false;
        }
    }
    if (::mkdir(path.c_str(), mode_t(permissions)) != 0) {
        int err = errno;
        if (err == EEXIST && withIntermediates && isDirectory(path)) return true;
        setError(error, fileError(err, path, true, "create directory"));
        return false;
    }
    return true;
}

bool FileManager::removeItem(const std::string& path, ErrorRef* error) const {
    setError(error, nullptr);
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        setError(error, fileError(errno, path, true, "remove"));
        return false;
    }
    std::string key = recordKey(path);
    std::error_code ec;
    fs::remove_all(path, ec);
    if (ec) {
        setError(error, fileError(ec.value(), path, true, "remove"));
        return false;
    }
    // A failure here leaves a stale record for a path that is gone; the
    // item itself was removed, which is what the caller asked for.
    for (const PathAttribute* attribute : kPathAttributes) updateRecord(*attribute, key, std::nullopt, true, nullptr);
    return true;
}

bool FileManager::moveItem(const std::string& from, const std::string& to, ErrorRef* error) const {
    setError(error, nullptr);
    struct stat st;
    if (::lstat(from.c_str(), &st) != 0) {
        setError(error, fileError(errno, from, true, "move"));
        return false;
    }
    if (::lstat(to.c_str(), &st) == 0) {
        setError(error, fileError(EEXIST, to, true, "move"));
        return false;
    }
    StoreWrite held("file move");
    if (held.failure() || ::rename(from.c_str(), to.c_str()) != 0) {
        setError(error, fileError(held.failure() ? held.failure() : errno, to, true, "move"));
        return false;
    }
    return true;
}

std::optional<std::string> FileManager::setAside(const std::string& path, ErrorRef* error,
                                                 const std::string& suffix) const {
    setError(error, nullptr);
    // Enough names for every damage a phone's lifetime could see; past them
    // something keeps damaging the file, and keeping more copies helps no one.
    constexpr int kMaxCopies = 1000;
    StoreWrite held("file set aside");
    if (held.failure()) {
        setError(error, fileError(held.failure(), path, true, "set aside"));
        return std::nullopt;
    }
    for (int n = 1; n <= kMaxCopies; ++n) {
        const std::string aside = path + suffix + (n == 1 ? std::string() : "-" + std::to_string(n));
        // The kernel refuses to replace an existing name, so two processes
        // setting aside at once never lose each other's copy.
        if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0) return aside;
        int err = errno;
        if (err == EINVAL) {
            // A file system without the flag: checked first, then renamed.
            struct stat st;
            if (::lstat(aside.c_str(), &st) != 0) {
                if (::rename(path.c_str(), aside.c_str()) == 0) return aside;
                err = errno;
            } else {
                err = EEXIST;
            }
        }
        if (err != EEXIST) {
            setError(error, fileError(err, path, true, "set aside"));
            return std::nullopt;
        }
    }
    setError(error, fileError(EEXIST, path, true, "set aside"));
    return std::nullopt;
}

std::optional<std::vector<std::string>> FileManager::contentsOfDirectory(const std::string& path,
                                                                         ErrorRef* error) const {
    setError(error, nullptr);
    std::error_code ec;
    fs::directory_iterator it(path, ec);
    if (ec) {
        setError(error, fileError(ec.value(), path, false, "list directory"));
        return std::nullopt;
    }
    std::vector<std::string> names;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) break;
        names.push_back(it->path().filename().string());
    }
    if (ec) {
        setError(error, fileError(ec.value(), path, false, "list directory"));
        return std::nullopt;
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<Data> FileManager::readData(const std::string& path, ErrorRef* error) const {
    setError(error, nullptr);
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        setError(error, fileError(errno, path, false, "open"));
        return std::nullopt;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        int err = S_ISDIR(st.st_mode) ? EISDIR : errno;
        ::close(fd);
        setError(error, fileError(err, path, false, "read"));
        return std::nullopt;
    }
    Data data;
    if (st.st_size > 0) data.reserve(size_t(st.st_size));
    uint8_t buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            ::close(fd);
            setError(error, fileError(err, path, false, "read"));
            return std::nullopt;
        }
        if (n == 0) break;
        data.insert(data.end(), buf, buf + n);
    }
    ::close(fd);
    return data;
}

bool FileManager::writeData(const std::string& path, const Data& data, ErrorRef* error, FileWriteOptions options) const {
    setError(error, nullptr);
    const std::string dir = parentOf(path);
    if (options.createIntermediateDirectories && !createDirectory(dir, true, error)) return false;

    if (!options.atomically) {
        StoreWrite held("file write in place");
        int fd = held.failure() ? -1 : ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode_t(options.permissions));
        if (fd < 0) {
            setError(error, fileError(held.failure() ? held.failure() : errno, path, true, "open"));
            return false;
        }
        bool ok = writeAll(fd, data);
        int err = errno;
        if (::close(fd) != 0 && ok) {
            ok = false;
            err = errno;
        }
        if (!ok) setError(error, fileError(err, path, true, "write"));
        return ok;
    }

    AtomicWriteOptions atomic;
    atomic.mode = options.permissions;
    // The replaced file's attributes (backup flag, immutable flag,
    // protection class) belong to the path, not to one version of the content.
    std::vector<std::pair<const char*, std::string>> kept;
    for (const PathAttribute* attribute : kPathAttributes) {
        if (auto value = extendedAttribute(*attribute, path)) kept.emplace_back(attribute->extendedAttribute, *value);
    }
    if (!kept.empty()) {
        atomic.beforeSync = [kept = std::move(kept)](int fd) {
            for (const auto& [name, value] : kept) ::fsetxattr(fd, name, value.data(), value.size(), 0);
            return 0;
        };
    }
    const AtomicWriteResult result = writeFileAtomically(
        path, std::string_view(reinterpret_cast<const char*>(data.data()), data.size()), atomic);
    if (!result) setError(error, fileError(result.error, path, true, result.step));
    return bool(result);
}

std::optional<FileAttributes> FileManager::attributesOfItem(const std::string& path, ErrorRef* error) const {
    setError(error, nullptr);
    struct statx stx;
    if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &stx) != 0) {
        setError(error, fileError(errno, path, false, "read attributes"));
        return std::nullopt;
    }
    auto seconds = [](const struct statx_timestamp& t) { return double(t.tv_sec) + double(t.tv_nsec) / 1e9; };
    FileAttributes a;
    a.size = stx.stx_size;
    a.modificationDate = Date{seconds(stx.stx_mtime)};
    a.creationDate = Date{(stx.stx_mask & STATX_BTIME) ? seconds(stx.stx_btime) : seconds(stx.stx_ctime)};
    a.isDirectory = S_ISDIR(stx.stx_mode);
    a.isSymbolicLink = S_ISLNK(stx.stx_mode);
    a.permissions = int(stx.stx_mode & 07777);
    return a;
}

bool FileManager::setExcludedFromBackup(const std::string& path, bool excluded, ErrorRef* error) const {
    setError(error, nullptr);
    return setPathAttribute(kExcludeFromBackup, path, excluded ? std::optional<std::string>("1") : std::nullopt,
                            options_.useExtendedAttributes, error);
}

bool FileManager::isExcludedFromBackup(const std::string& path) const {
    return pathAttribute(kExcludeFromBackup, path) == "1";
}

std::optional<FileSystemAttributes> FileManager::attributesOfFileSystem(const std::string& path,
                                                                       ErrorRef* error) const {
    setError(error, nullptr);
    struct statvfs vfs;
    if (::statvfs(path.c_str(), &vfs) != 0) {
        setError(error, fileError(errno, path, false, "statfs"));
        return std::nullopt;
    }
    return FileSystemAttributes{uint64_t(vfs.f_blocks) * uint64_t(vfs.f_frsize),
                                uint64_t(vfs.f_bavail) * uint64_t(vfs.f_frsize)};
}

std::optional<uint64_t> FileManager::systemFreeSize(const std::string& path) const {
    auto attributes = attributesOfFileSystem(path);
    if (!attributes) return std::nullopt;
    return attributes->freeSize;
}

bool FileManager::isImmutable(const std::string& path) const { return pathAttribute(kImmutable, path) == "1"; }

bool FileManager::setImmutable(const std::string& path, bool immutable, ErrorRef* error) const {
    setError(error, nullptr);
    return setPathAttribute(kImmutable, path, immutable ? std::optional<std::string>("1") : std::nullopt,
                            options_.useExtendedAttributes, error);
}

std::string FileManager::protectionClass(const std::string& path) const {
    auto value = pathAttribute(kProtection, path);
    return value ? *value : kFileProtectionCompleteUntilFirstUserAuthentication;
}

bool FileManager::setProtectionClass(const std::string& path, std::string protection, ErrorRef* error) const {
    setError(error, nullptr);
    const bool known = protection == kFileProtectionNone || protection == kFileProtectionComplete ||
                       protection == kFileProtectionCompleteUnlessOpen ||
                       protection == kFileProtectionCompleteUntilFirstUserAuthentication;
    if (!known) {
        setError(error, Error::make(kCocoaErrorDomain, kFileWriteUnknownError,
                                    Dictionary{{kLocalizedDescriptionKey, cocoaFileMessage(kFileWriteUnknownError, path)},
                                               {kLocalizedFailureReasonErrorKey,
                                                "“" + protection + "” is not a file protection class."},
                                               {kFilePathErrorKey, path}}));
        return false;
    }
    return setPathAttribute(kProtection, path, protection, options_.useExtendedAttributes, error);
}

}  // namespace ns
