// The service's log: one line per request and the service's own events, on
// standard error. Never given a password, key or signature.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace DataServiceNamespace::server {

enum class LogLevel { off, error, warning, info, debug };

// "off", "error", "warning", "info" or "debug".
std::optional<LogLevel> logLevelNamed(const std::string &name);

// Threads: any; each line is written with one stdio call, which holds the
// stream's lock, so lines of different threads never mix.
class ServiceLog {
public:
    explicit ServiceLog(LogLevel level) : level_(level) {}

    // time action verb status duration bytes, at level info.
    void request(const char *action, const std::string &verb, int status, double milliseconds,
                 std::size_t answerBytes) const;
    void write(LogLevel level, const std::string &message) const;

    LogLevel level() const { return level_; }

private:
    const LogLevel level_;
};

// text as it may appear in a log line: printable ASCII, at most 24
// characters, anything else replaced by '?'. For values a client chose.
std::string printable(const std::string &text);

} // namespace DataServiceNamespace::server
