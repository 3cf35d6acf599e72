// Passwords, keys, signatures and the login slowdown on libsodium.
#include "Authentication.h"

#include <sodium.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <stdexcept>
#include <vector>

namespace DataServiceNamespace::server {

namespace {

std::string toHex(const unsigned char *bytes, std::size_t count) {
    std::string hex(count * 2 + 1, '\0');
    sodium_bin2hex(hex.data(), hex.size(), bytes, count); // lowercase
    hex.pop_back();
    return hex;
}

// Decimal seconds, digits only (an optional leading minus), no overflow.
std::optional<UnixSeconds> decimalSeconds(const std::string &text) {
    std::size_t start = !text.empty() && text[0] == '-' ? 1 : 0;
    if (text.size() == start || text.size() - start > 18)
        return std::nullopt;
    UnixSeconds value = 0;
    for (std::size_t i = start; i < text.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i])))
            return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    return start ? -value : value;
}

} // namespace

bool initialiseSodium() { return sodium_init() >= 0; }

std::string hashPassword(const std::string &password) {
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(hash, password.data(), password.size(),
                          crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
        throw std::runtime_error("out of memory while hashing the password");
    return hash;
}

std::string randomHex(std::size_t bytes) {
    std::vector<unsigned char> random(bytes);
    randombytes_buf(random.data(), random.size());
    std::string hex = toHex(random.data(), random.size());
    sodium_memzero(random.data(), random.size());
    return hex;
}

std::string hmacSha256Hex(const std::string &key, const std::string &message) {
    crypto_auth_hmacsha256_state state;
    unsigned char mac[crypto_auth_hmacsha256_BYTES];
    crypto_auth_hmacsha256_init(&state, reinterpret_cast<const unsigned char *>(key.data()),
                                key.size());
    crypto_auth_hmacsha256_update(&state, reinterpret_cast<const unsigned char *>(message.data()),
                                  message.size());
    crypto_auth_hmacsha256_final(&state, mac);
    sodium_memzero(&state, sizeof state);
    return toHex(mac, sizeof mac);
}

LoginThrottle::Clock::duration LoginThrottle::wait(const std::string &name,
                                                   Clock::time_point now) {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = failures_.find(name);
    if (found == failures_.end() || found->second.notBefore <= now)
        return Clock::duration::zero();
    return found->second.notBefore - now;
}

void LoginThrottle::failed(const std::string &name, Clock::time_point now) {
    std::lock_guard<std::mutex> guard(lock_);
    if (failures_.size() > pruneAbove)
        for (auto entry = failures_.begin(); entry != failures_.end();)
            entry = now - entry->second.last > forgetAfter ? failures_.erase(entry)
                                                           : std::next(entry);
    Failures &entry = failures_[name];
    entry.count = std::min(entry.count + 1, freeFailures + 16); // 2^16 s is past maxDelay
    entry.last = now;
    if (entry.count >= freeFailures) {
        const Clock::duration delay =
            std::min<Clock::duration>(std::chrono::seconds(1LL << (entry.count - freeFailures)),
                                      maxDelay);
        entry.notBefore = now + delay;
    }
}

void LoginThrottle::succeeded(const std::string &name) {
    std::lock_guard<std::mutex> guard(lock_);
    failures_.erase(name);
}

UnixSeconds systemSeconds() { return static_cast<UnixSeconds>(std::time(nullptr)); }

namespace {

// An argon2id hash, with the limits hashPassword uses, of a random password
// that was thrown away: verifying an unknown user's password against it takes
// as long as for a real user. A constant, because making one at start-up
// costs as much as a login.
constexpr const char *dummyHash =
    "$argon2id$v=19$m=65536,t=2,p=1$p35GxuqvNYZ81EtEFPilkw$"
    "flA4zxPT0p+sa9pXMrZaKMWxqSR9uHlIYr4uB3Dzcyw";

} // namespace

Authenticator::Authenticator(Store &store, UnixSeconds sessionIdle)
    : store_(store), sessionIdle_(sessionIdle),
      refreshAfter_(std::clamp<UnixSeconds>(sessionIdle / 8, 0, 60)) {}

Status Authenticator::login(const std::string &name, const std::string &password,
                            std::string &sessionKey, std::string &secretKey) {
    if (name.empty())
        return failure(statusBadRequest, "username is empty");
    const auto now = LoginThrottle::Clock::now();
    const auto wait = throttle_.wait(name, now);
    if (wait > LoginThrottle::Clock::duration::zero()) {
        const auto seconds = std::chrono::ceil<std::chrono::seconds>(wait).count();
        return failure(statusUnauthorized, "too many failed logins for this user; try again in " +
                                               std::to_string(seconds) + " s");
    }
    const std::optional<UserRecord> user = store_.user(name);
    const std::string hash = user ? user->passwordHash : dummyHash;
    const bool matches =
        crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
    if (!user || !matches) {
        // The delay runs from the refusal, not from the request: a slow hash
        // must not eat into it.
        throttle_.failed(name, LoginThrottle::Clock::now());
        return failure(statusUnauthorized, "wrong user name or password");
    }
    throttle_.succeeded(name);
    const UnixSeconds time = systemSeconds();
    store_.deleteSessionsBefore(time - sessionIdle_);
    SessionRecord session{randomHex(32), randomHex(32), name, time};
    store_.createSession(session);
    sessionKey = session.sessionKey;
    secretKey = session.secretKey;
    return Status{};
}

Status Authenticator::session(const std::string &sessionKey, SessionRecord *found) {
    if (sessionKey.empty())
        return failure(statusUnauthorized, "session_key is missing");
    const UnixSeconds now = systemSeconds();
    std::optional<SessionRecord> session = store_.findSession(sessionKey, now - sessionIdle_);
    if (!session)
        return failure(statusUnauthorized, "session_key is unknown or expired");
    if (now - session->lastUsed >= refreshAfter_)
        store_.touchSession(sessionKey, now);
    if (found)
        *found = std::move(*session);
    return Status{};
}

Status Authenticator::verify(const std::string &url, const std::string &signature,
                             const std::string &timestamp, const std::string &sessionKey,
                             const std::string &vendor) {
    SessionRecord session;
    Status live = this->session(sessionKey, &session);
    if (!live.ok())
        return live;
    const std::optional<UnixSeconds> time = decimalSeconds(timestamp);
    if (!time)
        return failure(statusBadRequest, "timestamp is not decimal seconds since the epoch");
    const UnixSeconds now = systemSeconds();
    if (*time < now - signatureWindow || *time > now + signatureWindow)
        return failure(statusUnauthorized, "timestamp is more than 300 s away from the service's clock");
    const std::string expected =
        hmacSha256Hex(session.secretKey, url + "\n" + timestamp + "\n" + vendor);
    if (signature.size() != expected.size() ||
        sodium_memcmp(signature.data(), expected.data(), expected.size()) != 0)
        return failure(statusUnauthorized, "signature does not match");
    // A signature stays valid for signatureWindow after its timestamp, which
    // is at most signatureWindow after now: remembering it twice that long
    // is enough.
    if (!store_.useSignature(sessionKey, signature, now, now - 2 * signatureWindow))
        return failure(statusUnauthorized, "signature was already used");
    return Status{};
}

} // namespace DataServiceNamespace::server
