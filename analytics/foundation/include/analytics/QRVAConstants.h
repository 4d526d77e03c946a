#pragma once
// Where the analytics client sends its uploads and asks for its
// configuration. The platform's host table routes the name (to the local
// back end's measurement service here); it is never read from the
// environment.

inline constexpr const char* kQRVAMeasurementHost = "app-measurement.quorvaneapis.com";
