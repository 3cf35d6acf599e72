// Log lines on standard error, each prefixed with the UTC time.
#include "ServiceLog.h"

#include <cstdio>

#include "Authentication.h"
#include "UtcTime.h"

namespace DataServiceNamespace::server {

namespace {

const char *levelName(LogLevel level) {
    switch (level) {
    case LogLevel::error:
        return "error";
    case LogLevel::warning:
        return "warning";
    case LogLevel::info:
        return "info";
    case LogLevel::debug:
        return "debug";
    case LogLevel::off:
        break;
    }
    return "off";
}

} // namespace

std::optional<LogLevel> logLevelNamed(const std::string &name) {
    for (LogLevel level :
         {LogLevel::off, LogLevel::error, LogLevel::warning, LogLevel::info, LogLevel::debug})
        if (name == levelName(level))
            return level;
    return std::nullopt;
}

void ServiceLog::request(const char *action, const std::string &verb, int status,
                         double milliseconds, std::size_t answerBytes) const {
    if (level_ < LogLevel::info)
        return;
    std::fprintf(stderr, "%s info %s %s %d %.3fms %zuB\n", formatUtcTime(systemSeconds()).c_str(),
                 action, verb.c_str(), status, milliseconds, answerBytes);
}

void ServiceLog::write(LogLevel level, const std::string &message) const {
    if (level_ < level || level == LogLevel::off)
        return;
    std::fprintf(stderr, "%s %s %s\n", formatUtcTime(systemSeconds()).c_str(), levelName(level),
                 message.c_str());
}

std::string printable(const std::string &text) {
    std::string shown;
    for (char c : text.substr(0, 24))
        shown += c >= 0x20 && c < 0x7f ? c : '?';
    return shown;
}

} // namespace DataServiceNamespace::server
