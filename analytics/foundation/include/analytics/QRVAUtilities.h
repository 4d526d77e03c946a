#pragma once
// Small helpers of the analytics client: where its files live (and keeping
// them out of backups), text measured in Unicode code points, numeric
// strings, random numbers, MD5 digests and URL query strings.
//
// Any thread may call these; they keep no state beyond a compiled pattern.
// Failures are logged through the monitor (analytics/QRVAMonitor.h).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/error.h"

// Under Application Support: the folder of the analytics store.
inline constexpr const char* kQRVAMeasurementApplicationSupportSubdirectory = "Ondrix/Measurement";

// <Application Support>/Ondrix/Measurement/<name>; "" for an empty name, or
// (logged, 19001) when there is no Application Support folder.
std::string QRVAFilePathForDatabaseName(const std::string& name);
// <Library>/Preferences/<name>.plist, the file of a user-defaults suite; ""
// for an empty name, or (logged, 19000) when there is no Library folder.
std::string QRVAFilePathForPreferencesName(const std::string& name);
// Marks the file as excluded from backup; the file manager's answer and error.
bool QRVAExcludeFilePathFromBackup(const std::string& path, ns::ErrorRef* error);
// Removes the store file of that name. An empty name is error 1.
bool QRVADeleteDatabaseFile(const std::string& name, ns::ErrorRef* error);

// The number of Unicode code points (what the UTF-32 form holds, four bytes
// each). Texts are UTF-8; a byte that starts no well-formed sequence counts
// as one (it would read as U+FFFD).
size_t qrva_UTF32Length(std::string_view text);
