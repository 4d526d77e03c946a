#pragma once
// A folder of the run's own for targets that read through files (a sandbox,
// a database), removed when the run ends (a crash keeps it, beside its
// artifact). It is made in memory (/dev/shm) where there is one: the stores
// sync their files, which on a disk costs more than the reading fuzzed.

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

inline const std::string& scratchDir() {
    static const std::string dir = [] {
        static std::string path =
            std::string(std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp") + "/almavel-fuzz-XXXXXX";
        if (!mkdtemp(path.data())) std::abort();
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        });
        return path;
    }();
    return dir;
}
