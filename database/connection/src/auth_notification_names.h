#pragma once
// The authentication service's internal state notification, by name: the
// database observes it without linking against authentication.

inline constexpr const char* kQRVAuthStateDidChangeInternalNotification = "QRVAuthStateDidChangeInternalNotification";
inline constexpr const char* kQRVAuthStateDidChangeInternalNotificationTokenKey =
    "QRVAuthStateDidChangeInternalNotificationTokenKey";
