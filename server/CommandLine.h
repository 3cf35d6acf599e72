// The program's command line: a command, its positional arguments and its
// --options, each option declared with whether it takes a value.
#pragma once

#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace DataServiceNamespace::server {

// A command line that does not fit the command's description; main prints
// it as one line and exits 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct ParsedArguments {
    std::vector<std::string> positional;
    std::map<std::string, std::string> values; // option name (without --) -> value
    std::set<std::string> flags;               // options without a value that were given

    bool has(const std::string &option) const {
        return values.count(option) != 0 || flags.count(option) != 0;
    }
    // The value of a required option; UsageError when it is missing.
    const std::string &required(const std::string &option) const;
    std::string valueOr(const std::string &option, const std::string &fallback) const;
};

// Parses arguments against the options that take a value and the flags
// ("--name value" or "--name=value"; "--" ends the options). Throws
// UsageError for an unknown option, a missing value or a repeated option.
ParsedArguments parseArguments(const std::vector<std::string> &arguments,
                               const std::set<std::string> &valueOptions,
                               const std::set<std::string> &flagOptions);

// "HOST:PORT" ("[v6 address]:PORT" too); UsageError when malformed. An empty
// host means every IPv4 address.
struct ListenAddress {
    std::string host;
    int port = 0;
};
ListenAddress parseListenAddress(const std::string &text);

// A whole number within [minimum, maximum]; UsageError naming the option.
long long parseNumber(const std::string &text, const std::string &option, long long minimum,
                      long long maximum);

} // namespace DataServiceNamespace::server
