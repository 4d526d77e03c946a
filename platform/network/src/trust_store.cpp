#include "platform/trust_store.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/format.h"

namespace ns {

namespace {

struct BioDeleter {
    void operator()(BIO* b) const { BIO_free(b); }
};
using Bio = std::unique_ptr<BIO, BioDeleter>;

struct X509Deleter {
    void operator()(X509* x) const { X509_free(x); }
};
using X509Ptr = std::unique_ptr<X509, X509Deleter>;

// Every certificate of a PEM text, re-encoded so that equal certificates give
// equal text. Returns false when the text holds no certificate or a broken one.
bool parseCertificates(std::string_view pem, std::vector<std::string>& out, std::string& problem) {
    Bio in(BIO_new_mem_buf(pem.data(), int(pem.size())));
    size_t count = 0;
    for (;;) {
        X509Ptr cert(PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr));
        if (!cert) {
            unsigned long err = ERR_peek_last_error();
            ERR_clear_error();
            // Running out of input is the normal end; anything else is a broken block.
            if (ERR_GET_LIB(err) == ERR_LIB_PEM && ERR_GET_REASON(err) == PEM_R_NO_START_LINE) break;
            problem = "a certificate in the PEM text does not parse";
            return false;
        }
        Bio outBio(BIO_new(BIO_s_mem()));
        if (PEM_write_bio_X509(outBio.get(), cert.get()) != 1) {
            ERR_clear_error();
            problem = "a certificate could not be encoded";
            return false;
        }
        char* data = nullptr;
        long len = BIO_get_mem_data(outBio.get(), &data);
        out.emplace_back(data, size_t(len));
        ++count;
    }
    if (count == 0) {
        problem = "no certificate found in the PEM text";
        return false;
    }
    return true;
}

std::string readFile(const std::string& path, bool& ok) {
    std::ifstream f(path, std::ios::binary);
    ok = bool(f);
    if (!ok) return {};
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

}  // namespace

TrustStore& TrustStore::shared() {
    static TrustStore* instance = new TrustStore();  // never destroyed: network threads may outlive statics
    return *instance;
}

TrustStore::TrustStore() {
    bool ok = false;
    systemPEM_ = readFile(kSystemBundlePath, ok);
    if (!systemPEM_.empty() && systemPEM_.back() != '\n') systemPEM_.push_back('\n');
    {
        std::lock_guard lock(mutex_);
        rebuildLocked();
    }
    ErrorRef error;
    if (!loadFromEnvironment(&error))
        std::fprintf(stderr, "ALMAVEL_EXTRA_CA: ignoring %s: %s\n", std::getenv("ALMAVEL_EXTRA_CA"),
                     error ? error->localizedDescription().c_str() : "unreadable");
}

bool TrustStore::loadFromEnvironment(ErrorRef* error) {
    const char* extra = std::getenv("ALMAVEL_EXTRA_CA");
    if (!extra || !*extra) return true;
    return addAnchorFile(extra, error);
}

bool TrustStore::addAnchorFile(const std::string& pemPath, ErrorRef* error) {
    bool ok = false;
    std::string text = readFile(pemPath, ok);
    if (!ok) {
        if (error)
            *error = Error::make(kCocoaErrorDomain, 260 /* NSFileReadNoSuchFileError */,
                                 ns::format("The file “%s” couldn’t be opened.", pemPath), {}, nullptr);
        return false;
    }
    return addAnchorPEM(text, error);
}

bool TrustStore::addAnchorPEM(std::string_view pem, ErrorRef* error) {
    std::vector<std::string> certs;
    std::string problem;
    if (!parseCertificates(pem, certs, problem)) {
        if (error) *error = Error::make(kOSStatusErrorDomain, -25257 /* errSecUnknownFormat */, problem);
        return false;
    }
    std::lock_guard lock(mutex_);
    bool changed = false;
    for (std::string& c : certs) {
        if (std::find(addedPEM_.begin(), addedPEM_.end(), c) != addedPEM_.end()) continue;
        addedPEM_.push_back(std::move(c));
        changed = true;
    }
    if (changed) rebuildLocked();
    return true;
}

void TrustStore::removeAddedAnchors() {
    std::lock_guard lock(mutex_);
    if (addedPEM_.empty()) return;
    addedPEM_.clear();
    rebuildLocked();
}

size_t TrustStore::addedAnchorCount() const {
    std::lock_guard lock(mutex_);
    return addedPEM_.size();
}

void TrustStore::rebuildLocked() {
    auto bundle = std::make_shared<std::string>(systemPEM_);
    for (const std::string& c : addedPEM_) bundle->append(c);
    bundle_ = std::move(bundle);
    store_.reset();
    ++generation_;
}

std::shared_ptr<const std::string> TrustStore::pemBundle() const {
    std::lock_guard lock(mutex_);
    return bundle_;
}

std::shared_ptr<x509_store_st> TrustStore::x509Store() const {
    std::lock_guard lock(mutex_);
    if (store_) return store_;
    X509_STORE* store = X509_STORE_new();
    if (!store) Exception::raise(kInternalInconsistencyException, "could not create a certificate store");
    Bio in(BIO_new_mem_buf(bundle_->data(), int(bundle_->size())));
    while (X509Ptr cert{PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr)}) {
        X509_STORE_add_cert(store, cert.get());  // duplicates are ignored by OpenSSL
    }
    ERR_clear_error();
    store_ = std::shared_ptr<X509_STORE>(store, X509_STORE_free);
    return store_;
}

void TrustStore::configure(ssl_ctx_st* ctx) const {
    std::shared_ptr<X509_STORE> store = x509Store();
    // set1 takes its own reference, so the context keeps the store alive.
    SSL_CTX_set1_cert_store(ctx, store.get());
}

uint64_t TrustStore::generation() const {
    std::lock_guard lock(mutex_);
    return generation_;
}

}  // namespace ns
