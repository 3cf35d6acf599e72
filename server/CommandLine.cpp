// Parsing of the program's arguments.
#include "CommandLine.h"

#include <cctype>

namespace DataServiceNamespace::server {

const std::string &ParsedArguments::required(const std::string &option) const {
    auto found = values.find(option);
    if (found == values.end())
        throw UsageError("--" + option + " is required");
    return found->second;
}

std::string ParsedArguments::valueOr(const std::string &option, const std::string &fallback) const {
    auto found = values.find(option);
    return found == values.end() ? fallback : found->second;
}

ParsedArguments parseArguments(const std::vector<std::string> &arguments,
                               const std::set<std::string> &valueOptions,
                               const std::set<std::string> &flagOptions) {
    ParsedArguments parsed;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string &argument = arguments[i];
        if (optionsEnded || argument.size() < 3 || argument.compare(0, 2, "--") != 0) {
            if (argument == "--")
                optionsEnded = true;
            else
                parsed.positional.push_back(argument);
            continue;
        }
        const std::size_t equals = argument.find('=');
        const std::string name = argument.substr(2, equals == std::string::npos ? std::string::npos
                                                                                : equals - 2);
        if (parsed.has(name))
            throw UsageError("--" + name + " is given twice");
        if (flagOptions.count(name) != 0) {
            if (equals != std::string::npos)
                throw UsageError("--" + name + " takes no value");
            parsed.flags.insert(name);
        } else if (valueOptions.count(name) != 0) {
            if (equals != std::string::npos)
                parsed.values[name] = argument.substr(equals + 1);
            else if (i + 1 < arguments.size())
                parsed.values[name] = arguments[++i];
            else
                throw UsageError("--" + name + " needs a value");
        } else {
            throw UsageError("unknown option --" + name);
        }
    }
    return parsed;
}

long long parseNumber(const std::string &text, const std::string &option, long long minimum,
                      long long maximum) {
    long long value = 0;
    bool valid = !text.empty() && text.size() <= 18;
    for (char c : text) {
        valid = valid && std::isdigit(static_cast<unsigned char>(c));
        value = valid ? value * 10 + (c - '0') : 0;
    }
    if (!valid || value < minimum || value > maximum)
        throw UsageError("--" + option + " must be a whole number from " + std::to_string(minimum) +
                         " to " + std::to_string(maximum) + ", not \"" + text + "\"");
    return value;
}

ListenAddress parseListenAddress(const std::string &text) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos)
        throw UsageError("--listen must be HOST:PORT, not \"" + text + "\"");
    ListenAddress address;
    address.host = text.substr(0, colon);
    if (address.host.size() >= 2 && address.host.front() == '[' && address.host.back() == ']')
        address.host = address.host.substr(1, address.host.size() - 2);
    else if (address.host.find(':') != std::string::npos)
        throw UsageError("--listen: write an IPv6 address in brackets, as [::1]:9000");
    address.port = static_cast<int>(parseNumber(text.substr(colon + 1), "listen port", 0, 65535));
    return address;
}

} // namespace DataServiceNamespace::server
