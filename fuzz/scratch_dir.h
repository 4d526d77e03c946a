#pragma once
// A folder of the run's own for targets that read through files (a sandbox,
// a database), removed when the run ends (a crash keeps it, beside its
// artifact). It is made in memory (/dev/shm) where there is one: the stores
// sync their files, which on a disk costs more than the reading fuzzed.

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/no_destructor.h"

inline const std::string& scratchDir() {
    // The name outlives exit: the handler below removes the folder by it,
    // and pooled work may still reach the sandbox inside.
    static const ns::NoDestructor<std::string> dir([] {
        std::string path =
            std::string(std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp") + "/almavel-fuzz-XXXXXX";
        if (!mkdtemp(path.data())) std::abort();
        return path;
    }());
    static const bool removedAtExit = std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(*dir, ignored);
    }) == 0;
    (void)removedAtExit;
    return *dir;
}
