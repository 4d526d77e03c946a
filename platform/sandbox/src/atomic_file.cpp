#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/file_manager.h"

namespace ns {

namespace {

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

}  // namespace

AtomicWriteResult writeFileAtomically(const std::string& path, std::string_view bytes,
                                      const AtomicWriteOptions& options) {
    const std::string folder = folderOf(path);
    const std::string name = std::filesystem::path(path).filename().string();
    if (name.empty()) return {EISDIR, "create temporary file"};
    // Hidden, next to the target so that the rename stays on one file system.
    std::string pattern = folder + "/." + name + ".XXXXXX";
    std::vector<char> temporary(pattern.begin(), pattern.end());
    temporary.push_back('\0');
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return {errno, "create temporary file"};

    auto abandon = [&](int err, const char* step, bool open) {
        if (open) ::close(fd);
        ::unlink(temporary.data());
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
    if (::close(fd) != 0) return abandon(errno, "close", false);
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
