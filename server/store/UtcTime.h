// The two text forms of a moment that the service reads and writes: ISO-8601
// UTC with seconds ("2026-11-05T13:00:00Z"), which records and requests carry,
// and the compact form ("20261105T130000Z") used inside recording ids and
// playback URLs.
#pragma once

#include <optional>
#include <string>

#include "Store.h"

namespace DataServiceNamespace::server {

// Reads exactly "YYYY-MM-DDTHH:MM:SSZ" (a real calendar date, hours 00-23);
// empty for anything else, so callers can answer "malformed timestamp".
std::optional<UnixSeconds> parseUtcTime(const std::string &text);

std::string formatUtcTime(UnixSeconds time);        // "YYYY-MM-DDTHH:MM:SSZ"
std::string formatCompactUtcTime(UnixSeconds time); // "YYYYMMDDTHHMMSSZ"

} // namespace DataServiceNamespace::server
