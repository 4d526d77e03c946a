#include "backend/accounts/tokens.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <system_error>

#include "backend/core/http_util.h"
#include "platform/crypto.h"
#include "platform/no_destructor.h"

namespace backend {

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

constexpr const char* kKeyFileName = "id-token-key";
constexpr size_t kKeyBytes = 32;

// A token part. Padding has no place in a token, though the platform's
// decoder would read it (it refuses the standard alphabet's own symbols).
std::optional<std::string> tokenPartBytes(std::string_view text) {
    auto bytes = text.find('=') == std::string_view::npos ? ns::crypto::base64UrlDecode(text) : std::nullopt;
    if (!bytes) return std::nullopt;
    return ns::crypto::toString(*bytes);
}

// Tokens carry bytes in std::string.
std::string hmacSha256(const std::string& key, std::string_view message) {
    return ns::crypto::toString(ns::crypto::hmacSha256(key, message));
}

std::string randomBytes(size_t count) { return ns::crypto::toString(ns::crypto::randomBytes(count)); }

const std::string& headerPart() {
    static const ns::NoDestructor<std::string> part(
        ns::crypto::base64UrlEncode(ns::crypto::toData(R"({"alg":"HS256","typ":"JWT"})")));
    return *part;
}

struct SignerHolder {
    std::mutex mutex;
    std::shared_ptr<const IdTokenSigner> signer;
};

}  // namespace

const char* describe(IdTokenError error) {
    switch (error) {
    case IdTokenError::None: return "valid";
    case IdTokenError::Malformed: return "malformed";
    case IdTokenError::BadSignature: return "bad signature";
    case IdTokenError::Expired: return "expired";
    }
    return "invalid";
}

int64_t nowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

int64_t nowMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

IdTokenSigner::IdTokenSigner(std::string secret) : secret_(std::move(secret)) {
    if (secret_.empty()) throw std::invalid_argument("an ID-token key cannot be empty");
}

std::shared_ptr<const IdTokenSigner> IdTokenSigner::loadOrCreate(const fs::path& directory) {
    std::error_code ec;
    fs::create_directories(directory, ec);
    if (ec) throw std::runtime_error("cannot create " + directory.string() + ": " + ec.message());
    const fs::path path = directory / kKeyFileName;
    if (auto text = readFile(path)) {
        std::string trimmed = *text;
        while (!trimmed.empty() && std::isspace(static_cast<unsigned char>(trimmed.back()))) trimmed.pop_back();
        auto key = ns::crypto::hexDecode(trimmed);
        if (!key || key->size() < 16) throw std::runtime_error("the ID-token key in " + path.string() + " is unusable");
        return std::make_shared<IdTokenSigner>(ns::crypto::toString(*key));
    }
    std::string key = randomBytes(kKeyBytes);
    // Written under a temporary name and linked into place, so a second
    // process starting on the same data dir either sees the whole key or
    // makes its own attempt fail and reads the winner's.
    const fs::path temporary = directory / (std::string(kKeyFileName) + ".tmp." + std::to_string(::getpid()));
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) throw std::runtime_error("cannot write " + temporary.string() + ": " + std::strerror(errno));
    std::string text = ns::crypto::hex(ns::crypto::toData(key)) + "\n";
    bool written = ::write(fd, text.data(), text.size()) == ssize_t(text.size()) && ::fsync(fd) == 0;
    ::close(fd);
    if (!written) {
        fs::remove(temporary, ec);
        throw std::runtime_error("cannot write " + temporary.string());
    }
    int linked = ::link(temporary.c_str(), path.c_str());
    int linkError = errno;
    fs::remove(temporary, ec);
    if (linked != 0) {
        if (linkError == EEXIST) return loadOrCreate(directory);
        throw std::runtime_error("cannot create " + path.string() + ": " + std::strerror(linkError));
    }
    return std::make_shared<IdTokenSigner>(key);
}

std::string IdTokenSigner::sign(const IdTokenClaims& claims) const {
    json payload{{"uid", claims.uid},
                 {"email", claims.email},
                 {"aud", claims.appId},
                 {"iat", claims.issuedAt},
                 {"iat_ms", claims.issuedAtMs > 0 ? claims.issuedAtMs : claims.issuedAt * 1000},
                 {"exp", claims.expiresAt},
                 {"jti", claims.tokenId.empty() ? ns::crypto::hex(ns::crypto::randomBytes(12)) : claims.tokenId}};
    std::string signingInput =
        headerPart() + "." +
        ns::crypto::base64UrlEncode(ns::crypto::toData(payload.dump(-1, ' ', false, json::error_handler_t::replace)));
    return signingInput + "." + ns::crypto::base64UrlEncode(ns::crypto::hmacSha256(secret_, signingInput));
}

IdTokenCheck IdTokenSigner::verify(std::string_view token, std::optional<int64_t> now) const {
    IdTokenCheck check;
    check.error = IdTokenError::Malformed;
    const size_t firstDot = token.find('.');
    if (firstDot == std::string_view::npos) return check;
    const size_t secondDot = token.find('.', firstDot + 1);
    if (secondDot == std::string_view::npos || token.find('.', secondDot + 1) != std::string_view::npos) {
        return check;
    }
    const std::string_view header = token.substr(0, firstDot);
    const std::string_view payloadPart = token.substr(firstDot + 1, secondDot - firstDot - 1);
    const std::string_view signaturePart = token.substr(secondDot + 1);

    auto signature = tokenPartBytes(signaturePart);
    if (header != headerPart() || !signature) return check;
    const std::string expected = hmacSha256(secret_, token.substr(0, secondDot));
    if (signature->size() != expected.size() ||
        CRYPTO_memcmp(signature->data(), expected.data(), expected.size()) != 0) {
        check.error = IdTokenError::BadSignature;
        return check;
    }

    auto payloadText = tokenPartBytes(payloadPart);
    if (!payloadText) return check;
    json payload = json::parse(*payloadText, nullptr, false);
    if (!payload.is_object()) return check;
    auto string = [&](const char* key) -> const std::string* {
        auto it = payload.find(key);
        return it != payload.end() && it->is_string() ? it->get_ptr<const std::string*>() : nullptr;
    };
    auto integer = [&](const char* key) -> std::optional<int64_t> {
        auto it = payload.find(key);
        if (it == payload.end() || !it->is_number_integer()) return std::nullopt;
        return it->get<int64_t>();
    };
    const std::string* uid = string("uid");
    const std::string* email = string("email");
    const std::string* appId = string("aud");
    const std::string* tokenId = string("jti");
    auto issuedAt = integer("iat");
    auto expiresAt = integer("exp");
    if (!uid || uid->empty() || !email || !appId || !tokenId || !issuedAt || !expiresAt) return check;

    // Tokens signed before the millisecond claim existed count from the
    // start of their second.
    auto issuedAtMs = integer("iat_ms");
    if (issuedAtMs && *issuedAtMs / 1000 != *issuedAt) return check;
    check.claims = IdTokenClaims{*uid, *email, *appId, *issuedAt, *expiresAt, *tokenId,
                                 issuedAtMs.value_or(*issuedAt * 1000)};
    check.error = *expiresAt <= now.value_or(nowSeconds()) ? IdTokenError::Expired : IdTokenError::None;
    return check;
}

std::shared_ptr<const IdTokenSigner> idTokenSigner(Context& context) {
    auto holder = context.shared<SignerHolder>("auth.idTokenSigner");
    std::lock_guard lock(holder->mutex);
    if (!holder->signer) holder->signer = IdTokenSigner::loadOrCreate(context.dataDir() / "auth");
    return holder->signer;
}

std::optional<std::string> idTokenFromAuthorization(std::string_view value) {
    for (std::string_view scheme : {"Quorvane ", "Bearer "}) {
        if (value.size() > scheme.size() && value.substr(0, scheme.size()) == scheme) {
            std::string_view token = value.substr(scheme.size());
            while (!token.empty() && token.front() == ' ') token.remove_prefix(1);
            while (!token.empty() && token.back() == ' ') token.remove_suffix(1);
            if (token.empty()) return std::nullopt;
            return std::string(token);
        }
    }
    return std::nullopt;
}

}  // namespace backend
