// Users, sessions and signatures: argon2id password hashes, random session
// and secret keys, HMAC-SHA256 request signatures, and the slowdown of
// repeated failed logins. Everything cryptographic is libsodium's.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "Status.h"
#include "Store.h"

namespace DataServiceNamespace::server {

// Calls sodium_init once; false when libsodium cannot be used. Any thread.
bool initialiseSodium();

// The argon2id hash string of password (crypto_pwhash_str, interactive
// limits). Throws std::runtime_error when libsodium runs out of memory.
std::string hashPassword(const std::string &password);

// bytes random bytes from the system's generator, as lowercase hex.
std::string randomHex(std::size_t bytes);

// Lowercase hex HMAC-SHA256 of message keyed with the bytes of key.
std::string hmacSha256Hex(const std::string &key, const std::string &message);

// Slows down guessing of one user's password without slowing anyone else:
// from the freeFailures-th failed login in a row for a user name on, logins
// for that name are refused without looking at the password until a delay
// has passed, 1 s doubling per failure up to maxDelay. A success clears the
// name. Refusing instead of sleeping keeps the login worker free for other
// users. Entries idle longer than forgetAfter are dropped once the map grows,
// so guessing many names cannot exhaust memory.
//
// Threads: any; the map is owned by the throttle and guarded by lock_.
class LoginThrottle {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int freeFailures = 3;
    static constexpr std::chrono::seconds maxDelay{60};
    static constexpr std::chrono::minutes forgetAfter{15};
    static constexpr std::size_t pruneAbove = 10000;

    // The time to wait before name may try again, zero when it may now.
    Clock::duration wait(const std::string &name, Clock::time_point now);
    void failed(const std::string &name, Clock::time_point now);
    void succeeded(const std::string &name);

private:
    struct Failures {
        int count = 0;
        Clock::time_point notBefore;
        Clock::time_point last;
    };
    std::mutex lock_;                                    // guards failures_
    std::unordered_map<std::string, Failures> failures_; // by user name
};

// Seconds since the Unix epoch by the system's clock.
UnixSeconds systemSeconds();

// The three authentication actions and the session check of every other
// action, on the store's users and sessions.
//
// Threads: any, concurrently; state is the store's and the throttle's.
class Authenticator {
public:
    // Signatures are accepted within this many seconds of the service's clock.
    static constexpr UnixSeconds signatureWindow = 300;

    Authenticator(Store &store, UnixSeconds sessionIdle);

    // "authentications": a new session for name and password.
    Status login(const std::string &name, const std::string &password, std::string &sessionKey,
                 std::string &secretKey);
    // A live session (refreshed) or 401; the session for signature checks.
    Status session(const std::string &sessionKey, SessionRecord *found = nullptr);
    // "verify_authentication".
    Status verify(const std::string &url, const std::string &signature,
                  const std::string &timestamp, const std::string &sessionKey,
                  const std::string &vendor);

private:
    Store &store_;
    const UnixSeconds sessionIdle_;
    const UnixSeconds refreshAfter_; // lastUsed is rewritten at most this often
    LoginThrottle throttle_;
};

} // namespace DataServiceNamespace::server
