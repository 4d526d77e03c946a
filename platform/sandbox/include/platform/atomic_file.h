#pragma once
// Replacing a file's content so that readers, and the file after a crash,
// see either the old content or the new one, never a mix: the bytes go to a
// temporary file in the same folder, which is synced, renamed over the
// target, and the folder synced so that the rename itself is durable.
// Every step's result is checked; on any failure the temporary file is
// removed and the old file is left as it was.
//
// The temporary file has no name while its bytes are written (O_TMPFILE,
// where the file system has it), so a process ended mid-write leaves no
// copy of them (the keychain's secrets among them); it is named
// ".<name>.tmp-<pid>-XXXXXX" only for the rename. A process ended between
// the two, or on a file system without unnamed files, leaves that name, and
// the next launch removes it when it opens the sandbox
// (removeAbandonedTemporaries). Each write is an ns::StoreWrite, its rename
// a further write point, so the program's end waits for it.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/value.h"

namespace ns {

struct AtomicWriteOptions {
    // Permission bits of the new file, exactly (the umask does not apply).
    int mode = 0644;
    // Runs on the temporary file's descriptor once the bytes are written and
    // before they are synced, to carry over what belongs to the path rather
    // than to one version of the content (extended attributes). Returns 0, or
    // an errno value that abandons the write.
    std::function<int(int fd)> beforeSync;
};

// What went wrong: the errno value and the step that failed ("create
// temporary file", "write", "set permissions", "sync", "close", "replace",
// "sync folder"). `error == 0` means the new content is in place; after a
// failed "sync folder" it is in place too but may not survive a crash.
struct AtomicWriteResult {
    int error = 0;
    const char* step = "";
    explicit operator bool() const { return error == 0; }
};

AtomicWriteResult writeFileAtomically(const std::string& path, std::string_view bytes,
                                      const AtomicWriteOptions& options = {});

// The same with a Cocoa file error (the codes of platform/file_manager.h,
// the path in kFilePathErrorKey) on failure.
bool writeFileAtomically(const std::string& path, std::string_view bytes, int mode, ErrorRef* error);
bool writeFileAtomically(const std::string& path, const Data& bytes, int mode, ErrorRef* error);

// For code that reports failures by exception: std::system_error with the
// errno value and "cannot <step> <path>".
void writeFileAtomicallyOrThrow(const std::string& path, std::string_view bytes, int mode = 0644);

// The writer's process id when `fileName` is a temporary file of an atomic
// write; 0 for one of the earlier layout (".<name>.XXXXXX", which named no
// writer and is always abandoned); nullopt for any other name.
std::optional<long> abandonedTemporaryWriter(std::string_view fileName);

// Removes the temporary files that writes which did not finish left in
// `folder` (and its subfolders when `recursive`): those whose writer is gone.
// A live writer's, this process's own among them, are kept. Returns how many
// went.
size_t removeAbandonedTemporaries(const std::string& folder, bool recursive);

}  // namespace ns
