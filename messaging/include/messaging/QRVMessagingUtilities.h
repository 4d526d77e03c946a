#pragma once
// Small services every part of messaging uses: the clock in whole seconds,
// the app's version and identifier, free disk space, the library version,
// the locale instance identity sends at check-in, dictionary helpers and the
// messaging error domain. Free functions; any thread may call them (the
// version, the locale table and the disk-space override are made or read
// under process-wide once-initialisation or atomics).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/runtime.h"
#include "platform/value.h"

// The messaging error domain.
inline constexpr const char* kQRVMessagingDomain = "com.ondrix.qdx";

// Error codes of the domain above, as the parts of messaging make them.
enum QRVMessagingErrorCode : long {
    kQRVMessagingErrorCodeUnknown = 0,               // topic answer empty or not a token line
    kQRVMessagingErrorCodeNetwork = 4,               // channel down and the message cannot wait
    kQRVMessagingErrorCodeMissingSenderID = 7,       // token fetch or delete without a sender id
    kQRVMessagingErrorCodeMissingDeviceID = 501,     // no valid check-in credentials
    kQRVMessagingErrorCodeServiceNotAvailable = 1001, // upstream time to live ran out
    kQRVMessagingErrorCodeMissingTo = 1003,          // upstream message without a destination
    kQRVMessagingErrorCodeSave = 1004,               // upstream message could not be stored
    kQRVMessagingErrorCodeSizeExceeded = 1005,       // upstream data over 4096
    kQRVMessagingErrorCodeAlreadyConnected = 2001,   // direct channel already connected
    kQRVMessagingErrorCodePubSubInvalidTopic = 3003, // topic name not valid
    kQRVMessagingErrorCodePubSubClientNotSetup = 3004,
};

// Time since 1970, truncated to whole seconds.
int64_t QRVMessagingCurrentTimestampInSeconds();
// The whole seconds above times 1000 (always ends in three zeros).
int64_t QRVMessagingCurrentTimestampInMilliseconds();

// The main bundle's "CFBundleShortVersionString"; the empty string (and log
// 18000) when it is missing or empty.
std::string QRVMessagingCurrentAppVersion();
// The main bundle's identifier.
std::string QRVMessagingAppIdentifier();
// Free space, in whole MiB, of the file system that holds Documents; 0 (and
// log 18002) when it cannot be read.
uint64_t QRVMessagingGetFreeDiskSpaceInMB();
// Makes QRVMessagingGetFreeDiskSpaceInMB answer `megabytes` (a negative
// value goes back to reading the file system), for tests of a full disk.
void QRVMessagingSetFreeDiskSpaceInMBForTesting(int64_t megabytes);
// "2.0.0".
const std::string& QRVMessagingCurrentLibraryVersion();

// The two answers instance identity asks class "QRVMessaging" for by name:
// "qdx-2.0.0", and the user's locale picked from the locale table ("en"
// when no preferred language matches).
std::string QRVMessagingSDKVersion();
std::string QRVMessagingSDKCurrentLocale();
// Adds "QRVMessagingSDKVersion" and "QRVMessagingSDKCurrentLocale" as class
// methods of `messagingClass` (the facade calls it where it registers the
// class).
void QRVMessagingAddInstanceIDClassMethods(ns::Class& messagingClass);

// The locale table: rows of identifiers keyed by language code, and every
// identifier of every row (rows joined in key order).
const std::vector<std::pair<std::string, std::vector<std::string>>>& QRVMessagingLocalesMap();
const std::vector<std::string>& QRVMessagingLocales();
// The first identifier of `available` that a preferred language asks for:
// the same identifier ("es-PA" and "es_PA" alike, any case), else the bare
// language, else the first identifier of that language; nothing when no
// preferred language matches.
std::vector<std::string> QRVMessagingPreferredLocalizations(const std::vector<std::string>& available,
                                                            const std::vector<std::string>& preferredLanguages);

// -[integerValue] of a payload entry, which may carry a number or its text:
// a number truncated, a text's leading integer, 0 for anything else.
int64_t QRVMessagingIntegerValue(const ns::Value& value);

// A whole decimal text as a signed 64-bit number (ids of the reliable-message
// store); nothing for any other text.
std::optional<int64_t> QRVMessagingInt64FromString(const std::string& text);

// Dictionary helpers.
bool qdx_hasNonStringKeysOrValues(const ns::Dictionary& dictionary);
// Only the pairs whose value is a string.
ns::Dictionary qdx_trimNonStringValues(const ns::Dictionary& dictionary);
// "key:value|key:value" of the string pairs, in key order.
std::string qdx_string(const ns::Dictionary& dictionary);

// Error constructors of the messaging domain.
long qdxErrorCode(const ns::ErrorRef& error);
ns::ErrorRef errorWithQDXErrorCode(long code);
ns::ErrorRef qdx_errorWithCode(long code, ns::Dictionary userInfo);
