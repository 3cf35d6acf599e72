// Calendar arithmetic without the C library's time zone state (timegm is not
// standard and gmtime is not thread-safe), after Howard Hinnant's
// days-from-civil algorithm.
#include "UtcTime.h"

#include <cstdio>

namespace DataServiceNamespace::server {
namespace {

constexpr int64_t secondsPerDay = 86400;

int64_t daysFromCivil(int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

struct Civil {
    int64_t year;
    unsigned month, day, hour, minute, second;
};

Civil civilFromTime(UnixSeconds time) {
    int64_t days = time / secondsPerDay;
    int64_t rest = time % secondsPerDay;
    if (rest < 0) {
        rest += secondsPerDay;
        --days;
    }
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned monthIndex = (5 * dayOfYear + 2) / 153;
    Civil civil{};
    civil.day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    civil.month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    civil.year = static_cast<int64_t>(yearOfEra) + era * 400 + (civil.month <= 2);
    civil.hour = static_cast<unsigned>(rest / 3600);
    civil.minute = static_cast<unsigned>(rest / 60 % 60);
    civil.second = static_cast<unsigned>(rest % 60);
    return civil;
}

bool readDigits(const std::string &text, std::size_t at, std::size_t count, unsigned &value) {
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return true;
}

std::string format(UnixSeconds time, const char *pattern) {
    const Civil c = civilFromTime(time);
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, pattern, static_cast<long long>(c.year), c.month, c.day,
                  c.hour, c.minute, c.second);
    return buffer;
}

} // namespace

std::optional<UnixSeconds> parseUtcTime(const std::string &text) {
    if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
        text[13] != ':' || text[16] != ':' || text[19] != 'Z')
        return std::nullopt;
    unsigned year, month, day, hour, minute, second;
    if (!readDigits(text, 0, 4, year) || !readDigits(text, 5, 2, month) ||
        !readDigits(text, 8, 2, day) || !readDigits(text, 11, 2, hour) ||
        !readDigits(text, 14, 2, minute) || !readDigits(text, 17, 2, second))
        return std::nullopt;
    static constexpr unsigned monthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (month < 1 || month > 12 || day < 1 || day > monthDays[month - 1] ||
        (month == 2 && day == 29 && !leap) || hour > 23 || minute > 59 || second > 59)
        return std::nullopt;
    return daysFromCivil(year, month, day) * secondsPerDay + hour * 3600 + minute * 60 + second;
}

std::string formatUtcTime(UnixSeconds time) {
    return format(time, "%04lld-%02u-%02uT%02u:%02u:%02uZ");
}

std::string formatCompactUtcTime(UnixSeconds time) {
    return format(time, "%04lld%02u%02uT%02u%02u%02uZ");
}

} // namespace DataServiceNamespace::server
