// Checks of command-line values that say in plain words what is wrong.
#ifndef FACEPADCTL_ARGUMENTS_H
#define FACEPADCTL_ARGUMENTS_H

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace Facepadctl {

// A value on the command line that cannot be used; its message names it.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Waits and time-outs are given in seconds, up to a day: every wait ends.
constexpr double kLongestSeconds = 24 * 60 * 60;

// Seconds as given on the command line, to the nearest millisecond.
std::chrono::milliseconds Milliseconds(double seconds);

// A number of seconds from 0 (or just above it) to a day.
CLI::Validator Seconds(bool zeroAllowed);

// A host name or address alone: a URL or a port is refused (the port has an
// option of its own). An IPv6 address is given brackets for the URL.
CLI::Validator HostName();

// A whole number from `lowest` to `highest`.
CLI::Validator Whole(long long lowest, long long highest);

// A person field as key=value, its key one of the person record's.
CLI::Validator PersonField();

// --max-photo, the largest photo in bytes, into `maxPhoto`, as every command
// that reads photos takes it.
void AddMaxPhoto(CLI::App* command, std::uint64_t& maxPhoto);

// A value sent to a terminal that must be given: not empty, UTF-8, no tab
// or NUL.
CLI::Validator Present();

// The required --sn option, into `sn`.
void AddSerialNumber(CLI::App* command, std::string& sn);

// The closest of `names` to `word`, when one is close enough to be a typo.
std::string Closest(const std::string& word, const std::vector<std::string>& names);

}  // namespace Facepadctl

#endif  // FACEPADCTL_ARGUMENTS_H
