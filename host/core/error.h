// The host's failures: one line that says what and where, with control bytes
// of quoted input escaped so that a message can neither end early nor span lines.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace host {

// Control bytes (below 0x20, and 0x7F) as \xHH: input text quoted in a
// message can neither cut it short (a NUL) nor break it over lines.
std::string printable(std::string_view text);

// Every failure of the host itself.
class HostError : public std::runtime_error {
public:
  explicit HostError(const std::string& what) : std::runtime_error(printable(what)) {}
};

// A failure to read or write a file; the message names the file.
class FileError : public std::runtime_error {
public:
  explicit FileError(const std::string& what) : std::runtime_error(printable(what)) {}
};

}  // namespace host
