#include "Arguments.h"

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <memory>

#include "PersonInput.h"

namespace Facepadctl {

std::chrono::milliseconds Milliseconds(double seconds) {
  return std::chrono::milliseconds{std::llround(seconds * 1000)};
}

CLI::Validator Seconds(bool zeroAllowed) {
  return {[zeroAllowed](std::string& text) -> std::string {
            char* end = nullptr;
            const double value = std::strtod(text.c_str(), &end);
            if (end == text.c_str() || *end != '\0' || !std::isfinite(value)) {
              return "'" + text + "' is not a number of seconds";
            }
            if (value < 0 || (value == 0 && !zeroAllowed)) {
              return "give " + std::string(zeroAllowed ? "0 or more" : "more than 0") + " seconds";
            }
            if (value > kLongestSeconds) return text + " s is more than a day (86400 s)";
            return {};
          },
          "SECONDS"};
}

namespace {

// True when libcurl's URL parser reads `host` in "http://HOST:1/" as the
// host itself: nothing in it ('#', '?', '@', a blank) moves the request.
bool WholeHost(const std::string& host) {
  const std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url(curl_url(), curl_url_cleanup);
  if (!url ||
      curl_url_set(url.get(), CURLUPART_URL, ("http://" + host + ":1/").c_str(), 0) != CURLUE_OK) {
    return false;
  }
  char* parsed = nullptr;
  if (curl_url_get(url.get(), CURLUPART_HOST, &parsed, 0) != CURLUE_OK) return false;
  const std::unique_ptr<char, decltype(&curl_free)> owned(parsed, curl_free);
  return host == parsed;
}

}  // namespace

CLI::Validator HostName() {
  return {[](std::string& text) -> std::string {
            if (text.empty()) return "give a host name or address, such as 127.0.0.1";
            const std::size_t closing = text.front() == '[' ? text.find(']') : std::string::npos;
            const std::size_t colons = std::count(text.begin(), text.end(), ':');
            const bool bracketed = closing != std::string::npos && closing + 1 == text.size();
            const bool withPort = text.front() == '[' ? !bracketed : colons == 1;
            if (text.find('/') != std::string::npos || withPort) {
              return "give a host name or address alone, such as 127.0.0.1, and the port with "
                     "--port; not '" +
                     text + "'";
            }
            if (colons > 1 && !bracketed) text = "[" + text + "]";  // as a URL writes it
            if (!WholeHost(text)) {
              return "give a host name, an IPv4 address or a bracketed IPv6 address, such as "
                     "localhost, 127.0.0.1 or [::1]; not '" +
                     text + "'";
            }
            return {};
          },
          ""};
}

void AddMaxPhoto(CLI::App* command, std::uint64_t& maxPhoto) {
  command->add_option("--max-photo", maxPhoto, "the largest photo, in bytes")
      ->check(Whole(1, 64LL * 1024 * 1024))
      ->capture_default_str();
}

CLI::Validator Whole(long long lowest, long long highest) {
  const std::string range = std::to_string(lowest) + " to " + std::to_string(highest);
  return {[lowest, highest, range](std::string& text) -> std::string {
            char* end = nullptr;
            errno = 0;
            const long long value = std::strtoll(text.c_str(), &end, 10);
            if (end == text.c_str() || *end != '\0' || errno == ERANGE || value < lowest ||
                value > highest) {
              return "give a whole number from " + range + ", not '" + text + "'";
            }
            return {};
          },
          range};
}

CLI::Validator PersonField() {
  return {[](std::string& text) -> std::string {
            const std::size_t equals = text.find('=');
            if (equals == std::string::npos || equals == 0) {
              return "wants key=value, not \"" + text + "\"";
            }
            const std::string key = text.substr(0, equals);
            if (!IsPersonKey(key)) {
              return "\"" + key + "\" is not a person field; the fields are " + PersonKeyList();
            }
            const std::string problem = ValueProblem(text.substr(equals + 1));
            return problem.empty() ? problem : "the " + key + " " + problem;
          },
          "KEY=VALUE"};
}

CLI::Validator Present() {
  return {[](std::string& text) -> std::string {
            std::string problem = ValueProblem(text);
            if (problem.empty() && text.empty()) problem = "may not be empty";
            return problem;
          },
          ""};
}

void AddSerialNumber(CLI::App* command, std::string& sn) {
  command->add_option("--sn", sn, "the terminal's serial number")->required()->check(Present());
}

namespace {
std::size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}
}  // namespace

std::string Closest(const std::string& word, const std::vector<std::string>& names) {
  std::string best;
  std::size_t bestDistance = 3;  // more edits than this is not a typo
  for (const std::string& name : names) {
    const bool prefix = word.size() >= 3 && name.compare(0, word.size(), word) == 0;
    const std::size_t distance = prefix ? 1 : EditDistance(word, name);
    if (distance < bestDistance) {
      bestDistance = distance;
      best = name;
    }
  }
  return best;
}

}  // namespace Facepadctl
