#include "platform/atomic_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <system_error>
#include <vector>

#include "platform/file_manager.h"
#include "platform/store_writes.h"

namespace ns {

namespace {

constexpr std::string_view kTemporaryMark = ".tmp-";
constexpr size_t kRandomLength = 6;

std::string folderOf(const std::string& path) {
    std::string parent = std::filesystem::path(path).parent_path().string();
    return parent.empty() ? std::string(".") : parent;
}

int writeAll(int fd, std::string_view bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + off, bytes.size() - off);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        off += size_t(n);
    }
    return 0;
}

// Some file systems cannot sync a folder at all; that is no reason to call
// a write that is otherwise complete a failure.
bool folderSyncUnsupported(int err) { return err == EINVAL || err == ENOTSUP || err == EOPNOTSUPP; }

bool isRandomTail(std::string_view s) {
    if (s.size() != kRandomLength) return false;
    for (char c : s) {
        if (!std::isalnum(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

// Seconds since the epoch at which process `pid` started, from its
// start time in clock ticks after boot; nullopt when it cannot be read.
std::optional<double> processStartTime(long pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return std::nullopt;
    // The command name may hold spaces and parentheses: fields count from
    // after its last ')'.
    const size_t close = line.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(line.substr(close + 1));
    std::string field;
    unsigned long long ticks = 0;
    for (int i = 3; i <= 22 && fields >> field; ++i) {
        if (i == 22) ticks = std::strtoull(field.c_str(), nullptr, 10);
    }
    std::ifstream boot("/proc/stat");
    while (std::getline(boot, line)) {
        if (line.rfind("btime ", 0) == 0) {
            const double hz = double(::sysconf(_SC_CLK_TCK));
            return double(std::strtoull(line.c_str() + 6, nullptr, 10)) + double(ticks) / hz;
        }
    }
    return std::nullopt;
}

// Whether the writer that named a temporary file after itself may still be
// writing it: the same process, or a live one that started before the file
// was last written (a later process with a reused id is not its writer).
bool writerMayBeAlive(long pid, const struct stat& st) {
    if (pid == long(::getpid())) return true;
    if (::kill(pid_t(pid), 0) != 0 && errno == ESRCH) return false;
    const std::optional<double> started = processStartTime(pid);
    if (!started) return true;
    const double written = double(st.st_mtim.tv_sec) + double(st.st_mtim.tv_nsec) / 1e9;
    return *started <= written + 1.0;
}

// The temporary name of a write of `name` by this process:
// ".<name>.tmp-<pid>-XXXXXX", hidden, beside the target.
std::string temporaryPattern(const std::string& folder, const std::string& name) {
    return folder + "/." + name + std::string(kTemporaryMark) + std::to_string(long(::getpid())) + "-XXXXXX";
}

// An unnamed file in `folder` that gets a name only once its bytes are
// written, so a process ended while writing leaves nothing behind; -1 with
// errno where the file system has no unnamed files.
int openUnnamed(const std::string& folder, int mode) {
#ifdef O_TMPFILE
    // Naming it goes through /proc; without it the named road is taken.
    static const bool procMounted = ::access("/proc/self/fd", F_OK) == 0;
    if (!procMounted) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode_t(mode));
#else
    (void)folder;
    (void)mode;
    errno = EOPNOTSUPP;
    return -1;
#endif
}

// Gives the unnamed file `fd` a temporary name in its folder.
int nameUnnamed(int fd, std::vector<char>& temporary) {
    // mkostemp reserves a free name; the link needs it gone again.
    const int reserved = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (reserved < 0) return errno;
    ::close(reserved);
    ::unlink(temporary.data());
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temporary.data(), AT_SYMLINK_FOLLOW) != 0) return errno;
    return 0;
}

}  // namespace

std::optional<long> abandonedTemporaryWriter(std::string_view fileName) {
    if (fileName.size() < 2 + kRandomLength || fileName[0] != '.') return std::nullopt;
    const std::string_view tail = fileName.substr(fileName.size() - kRandomLength);
    if (!isRandomTail(tail)) return std::nullopt;
    const std::string_view head = fileName.substr(0, fileName.size() - kRandomLength);
    const size_t mark = head.rfind(kTemporaryMark);
    if (mark != std::string_view::npos && mark > 1 && head.back() == '-') {
        const std::string_view digits = head.substr(mark + kTemporaryMark.size(), head.size() - 1 - mark - kTemporaryMark.size());
        if (!digits.empty() && digits.size() < 10 &&
            digits.find_first_not_of("0123456789") == std::string_view::npos) {
            return std::strtol(std::string(digits).c_str(), nullptr, 10);
        }
    }
    // The earlier layout, ".<name>.XXXXXX", named no writer: nothing of this
    // program writes such names any more, so one is always abandoned.
    if (head.size() >= 3 && head.back() == '.' && head.find('/') == std::string_view::npos) return 0;
    return std::nullopt;
}

size_t removeAbandonedTemporaries(const std::string& folder, bool recursive) {
    size_t removed = 0;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return 0;
    std::vector<std::string> subfolders;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = folder + "/" + std::string(name);
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            if (recursive) subfolders.push_back(path);
            continue;
        }
        if (!S_ISREG(st.st_mode)) continue;
        const std::optional<long> writer = abandonedTemporaryWriter(name);
        if (!writer) continue;
        if (*writer != 0 && writerMayBeAlive(*writer, st)) continue;
        if (::unlink(path.c_str()) == 0) ++removed;
    }
    ::closedir(dir);
    for (const std::string& sub : subfolders) removed += removeAbandonedTemporaries(sub, true);
    return removed;
}

AtomicWriteResult writeFileAtomically(const std::string& path, std::string_view bytes,
                                      const AtomicWriteOptions& options) {
    const std::string folder = folderOf(path);
    const std::string name = std::filesystem::path(path).filename().string();
    if (name.empty()) return {EISDIR, "create temporary file"};
    StoreWrite held("file write");
    if (held.failure()) return {held.failure(), "write"};
    // Hidden, next to the target so that the rename stays on one file system.
    const std::string pattern = temporaryPattern(folder, name);
    std::vector<char> temporary(pattern.begin(), pattern.end());
    temporary.push_back('\0');
    int fd = openUnnamed(folder, options.mode);
    const bool unnamed = fd >= 0;
    if (!unnamed) fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return {errno, "create temporary file"};

    bool named = !unnamed;
    auto abandon = [&](int err, const char* step, bool open) {
        if (open) ::close(fd);
        if (named) ::unlink(temporary.data());
        return AtomicWriteResult{err, step};
    };
    if (int err = writeAll(fd, bytes)) return abandon(err, "write", true);
    if (::fchmod(fd, mode_t(options.mode)) != 0) return abandon(errno, "set permissions", true);
    if (options.beforeSync) {
        if (int err = options.beforeSync(fd)) return abandon(err, "write", true);
    }
    // A failed sync means the bytes may never reach the disk; renaming such
    // a file over good content could lose both after a crash.
    if (::fsync(fd) != 0) return abandon(errno, "sync", true);
    if (unnamed) {
        if (int err = nameUnnamed(fd, temporary)) return abandon(err, "create temporary file", true);
        named = true;
    }
    if (::close(fd) != 0) return abandon(errno, "close", false);
    if (const int err = storeWrites::point("file rename")) return abandon(err, "replace", false);
    if (::rename(temporary.data(), path.c_str()) != 0) return abandon(errno, "replace", false);

    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return {errno, "sync folder"};
    int err = ::fsync(dir) == 0 ? 0 : errno;
    ::close(dir);
    if (err != 0 && !folderSyncUnsupported(err)) return {err, "sync folder"};
    return {};
}
bool writeFileAtomically(const std::string& path, std::string_view bytes, int mode, ErrorRef* error) {
    if (error) *error = nullptr;
    AtomicWriteOptions options;
    options.mode = mode;
    const AtomicWriteResult result = writeFileAtomically(path, bytes, options);
    if (!result && error) *error = fileError(result.error, path, true, result.step);
    return bool(result);
}

bool writeFileAtomically(const std::string& path, const Data& bytes, int mode, ErrorRef* error) {
    return writeFileAtomically(path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), mode,
                               error);
}

void writeFileAtomicallyOrThrow(const std::string& path, std::string_view bytes, int mode) {
    AtomicWriteOptions options;
    options.mode = mode;
    const AtomicWriteResult result = writeFileAtomically(path, bytes, options);
    if (!result) {
        throw std::system_error(result.error, std::generic_category(),
                                std::string("cannot ") + result.step + " " + path);
    }
}

}  // namespace ns
