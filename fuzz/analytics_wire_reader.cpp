// Any bytes as the two analytics messages a peer hands the client: the first
// byte picks a configuration answer or an upload batch (as the store reads
// its queued bundles back), the rest is decoded through the wrappers.
//
// Invariants: what decodes encodes; the encoding decodes again and encodes to
// the same bytes; a deep copy encodes the same; and libprotobuf reads the
// encoding and writes it back byte for byte, so our encoder never emits what
// a server's decoder would take differently.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include <google/protobuf/stubs/logging.h>

#include "analytics/QRVAPBMessages.h"
#include "analytics_proto/qrvanalytics.pb.h"
#include "core/QRVLogger.h"
#include "platform/system_log.h"
#include "require.h"

namespace {

// A fuzzer feeds malformed input, and the readers say so: the decoders on
// standard output, the analytics monitor on the system log, libprotobuf
// about text that is not UTF-8 on standard error, a line or more for nearly
// every input, which would be most of a run's time and hundreds of megabytes
// of log. All go quiet once, before the first input; a broken invariant and
// the sanitizers still report on standard error.
void silenceReaders() {
    QRVSetLoggerLevel(QRVLoggerLevelError);
    ns::SystemLog::setFilterLevel(ns::SystemLog::kCritical);
    google::protobuf::SetLogHandler(nullptr);
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
}

template <class Wrapper, class Proto>
void check(std::span<const uint8_t> bytes) {
    auto message = Wrapper::initWithBuffer(bytes);
    if (!message) return;
    auto encoded = message->protoBuffer();
    require(encoded.has_value());  // a decoded message did not encode
    auto again = Wrapper::initWithBuffer(*encoded);
    require(again != nullptr);  // our own encoding did not decode
    require(again->protoBuffer() == encoded);  // encoding is not stable
    auto copy = Wrapper::initWithMessageInfo(message->messageInfo());
    require(copy != nullptr && copy->protoBuffer() == encoded);  // a copy differs
    Proto proto;
    require(proto.ParseFromArray(encoded->data(), static_cast<int>(encoded->size())));  // libprotobuf refused it
    require(proto.SerializeAsString() == std::string(encoded->begin(), encoded->end()));  // read differently
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = (silenceReaders(), true);
    (void)quiet;
    if (size == 0) return 0;
    std::span<const uint8_t> rest(data + 1, size - 1);
    if (data[0] & 1) {
        check<QRVAPBMeasurementBatch, qrvanalytics::MeasurementBatch>(rest);
    } else {
        check<QRVAPBMeasurementConfig, qrvanalytics::MeasurementConfig>(rest);
    }
    return 0;
}
