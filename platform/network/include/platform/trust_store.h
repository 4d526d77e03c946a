#pragma once
// The platform's trust anchors: the system CA bundle
// (/etc/ssl/certs/ca-certificates.crt) plus anchors added at run time, such
// as the local back end's test certificate authority. At first use the store
// also adds the PEM file named by the environment variable ALMAVEL_EXTRA_CA
// (a bad file is reported on standard error and skipped).
//
// Network stacks read the anchors through `pemBundle()` (libcurl:
// CURLOPT_CAINFO_BLOB) or `configure(SSL_CTX*)` (OpenSSL users such as the
// web-socket stack). `generation()` changes whenever the set changes, so a
// stack can tell that connections made under an older set must not be reused.
//
// Thread-safe.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"

struct ssl_ctx_st;
struct x509_store_st;

namespace ns {

class TrustStore {
public:
    static TrustStore& shared();

    // Adds every certificate of a PEM file / PEM text. Refuses (false and an
    // error, nothing added) text holding no certificate or a certificate that
    // does not parse. Adding an anchor that is already present is a no-op.
    bool addAnchorFile(const std::string& pemPath, ErrorRef* error = nullptr);
    bool addAnchorPEM(std::string_view pem, ErrorRef* error = nullptr);
    // Back to the system anchors only.
    void removeAddedAnchors();
    size_t addedAnchorCount() const;
    // Adds the PEM file named by ALMAVEL_EXTRA_CA, if set (done once at first
    // use; call again after changing the variable). False with an error when
    // the variable names a file that is unreadable or holds no certificate.
    bool loadFromEnvironment(ErrorRef* error = nullptr);

    // System bundle followed by the added anchors, as PEM text. Shared and
    // immutable; a change makes a new bundle.
    std::shared_ptr<const std::string> pemBundle() const;
    // The anchors as an OpenSSL store (shared and immutable like the bundle;
    // its reference count is owned by the returned pointer).
    std::shared_ptr<x509_store_st> x509Store() const;
    // Makes `ctx` verify peers against these anchors (replaces its store).
    void configure(ssl_ctx_st* ctx) const;
    uint64_t generation() const;

    // Where the system bundle is read from.
    static constexpr const char* kSystemBundlePath = "/etc/ssl/certs/ca-certificates.crt";

    TrustStore(const TrustStore&) = delete;
    TrustStore& operator=(const TrustStore&) = delete;

private:
    TrustStore();
    void rebuildLocked();

    mutable std::mutex mutex_;
    std::string systemPEM_;
    std::vector<std::string> addedPEM_;  // one normalised PEM block per certificate
    std::shared_ptr<const std::string> bundle_;
    mutable std::shared_ptr<x509_store_st> store_;  // built lazily
    uint64_t generation_ = 1;
};

}  // namespace ns
