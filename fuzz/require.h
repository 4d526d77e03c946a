#pragma once
// The targets' invariant check. It stays on in every build type (an assert
// would vanish with NDEBUG) and names what broke, so that libFuzzer's
// artifact comes with the reason it was kept.

#include <cstdio>
#include <cstdlib>

#define require(condition)                                                                           \
    do {                                                                                             \
        if (!(condition)) {                                                                          \
            std::fprintf(stderr, "invariant broken at %s:%d: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                            \
        }                                                                                            \
    } while (false)
