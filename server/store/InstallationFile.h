// Reads an installation file (JSON, described in docs/store.md) into an
// Installation, checking everything the store would otherwise find out half
// way through an import: every error names the file, the place in the
// document as a JSON pointer and the problem, for example
//   installation.json: /devices/3/components/1/stream_profiles/0: "hd" is not
//   a stream profile of device "cam-04"
// Reading never touches a store, so a bad file leaves the database as it was.
#pragma once

#include <stdexcept>
#include <string>

#include "Store.h"

namespace DataServiceNamespace::server {

class InstallationError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads the file at path; snapshot paths in it are relative to its folder.
Installation readInstallationFile(const std::string &path);

// Reads a document given as text; name is what error messages call it and
// baseFolder is where relative snapshot paths start.
Installation readInstallation(const std::string &text, const std::string &name,
                              const std::string &baseFolder);

} // namespace DataServiceNamespace::server
