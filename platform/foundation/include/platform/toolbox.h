#pragma once
// The SDK maker's toolbox library: gzip helpers the network layer uses to
// compress upload payloads and to inflate compressed answers.
//
// Declared at global scope, like the toolbox's C functions they stand in for.
//
// Errors use the domain "com.htk.toolbox" (kHTKToolboxErrorDomain) with the
// zlib return code (Z_DATA_ERROR, Z_BUF_ERROR, ...) as the error code, or
// kHTKToolboxErrorOutputTooLarge when inflating would exceed the output cap.

#include <cstddef>

#include "platform/error.h"
#include "platform/value.h"

inline constexpr const char* kHTKToolboxErrorDomain = "com.htk.toolbox";
// Not a zlib code: inflating stopped at kHTKToolboxMaxInflatedSize.
inline constexpr long kHTKToolboxErrorOutputTooLarge = -100;
// Inflated output is capped at 256 MiB so a tiny hostile payload cannot
// exhaust memory.
inline constexpr size_t kHTKToolboxMaxInflatedSize = size_t(256) << 20;

// gzip format (RFC 1952 header and trailer), default compression level.
// An empty input gives a valid gzip stream of nothing (20 bytes), which
// inflates back to empty data; callers that want an empty body for an empty
// payload handle that themselves. Returns empty Data and sets *error only if
// zlib fails, which does not happen for well-formed calls.
ns::Data htk_dataByGzippingData(const ns::Data& data, ns::ErrorRef* error);

// Inflates gzip (RFC 1952) or zlib (RFC 1950) data, detected from the header;
// concatenated gzip members are all inflated. Empty input gives empty output
// without an error. Corrupt or truncated input, or output beyond
// kHTKToolboxMaxInflatedSize, gives empty Data and an error.
ns::Data htk_dataByInflatingData(const ns::Data& data, ns::ErrorRef* error);
