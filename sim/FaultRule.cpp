#include "FaultRule.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace FacepadSim {
namespace {

// Whether `text` is digits, with a fraction after a point when `fraction`
// allows: no sign, space, hexadecimal or exponent.
bool IsDecimal(const std::string& text, bool fraction) {
  const std::size_t point = fraction ? text.find('.') : std::string::npos;
  const auto digits = [](const std::string& part) {
    return !part.empty() && part.find_first_not_of("0123456789") == std::string::npos;
  };
  return point == std::string::npos
             ? digits(text)
             : digits(text.substr(0, point)) && digits(text.substr(point + 1));
}

// A whole number from `lowest` to `highest`, or nothing.
std::optional<long> Whole(const std::string& text, long lowest, long highest) {
  if (!IsDecimal(text, false)) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || value < lowest || value > highest) {
    return std::nullopt;
  }
  return value;
}

// The body the garbage fault answers with: no form, no JSON.
constexpr const char* kGarbage = "\x01garbage{[\"";

// A fault built in code, without a text of its own, as the grammar writes it.
std::string BuiltRuleText(const Fault& fault) {
  std::string text;
  switch (fault.action) {
    case Fault::Action::Status:
      text =
          fault.status == 200 && fault.body == kGarbage ? "garbage" : std::to_string(fault.status);
      break;
    case Fault::Action::Delay: {
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%g", static_cast<double>(fault.delay.count()) / 1000);
      text = std::string("hang:") + seconds;
      break;
    }
    case Fault::Action::Close:
      text = "close";
      break;
    case Fault::Action::Drip:
      text = "drip:" + std::to_string(std::llround(fault.bytesPerSecond));
      break;
    default:
      text = "fault";
  }
  return text;
}

}  // namespace

std::variant<Fault, std::string> ParseFault(const std::string& text) {
  const std::size_t equals = text.find('=');
  if (equals == std::string::npos || equals == 0) {
    return "a fault is PATH=ACTION[:ARG][*COUNT], not '" + text + "'";
  }
  const std::string path = text.substr(0, equals);
  if (path != "*" && !ServiceModel::IsEndpoint(path)) {
    return "'" + path + "' is not an endpoint; give one such as facepad/adduser, or *";
  }
  std::string rule = text.substr(equals + 1);

  int count = -1;
  if (const std::size_t star = rule.find('*'); star != std::string::npos) {
    const std::optional<long> times = Whole(rule.substr(star + 1), 1, 1000000000);
    if (!times)
      return "the count after * is a whole number from 1, not '" + rule.substr(star + 1) + "'";
    count = static_cast<int>(*times);
    rule.resize(star);
  }
  const std::size_t colon = rule.find(':');
  const std::string action = rule.substr(0, colon);
  const std::string argument = colon == std::string::npos ? "" : rule.substr(colon + 1);
  const bool hasArgument = colon != std::string::npos;

  Fault fault;
  if (const std::optional<long> status = Whole(action, 100, 599)) {
    if (hasArgument) return "a status takes no argument";
    fault = Fault::Answer(static_cast<int>(*status), "fault");
  } else if (action == "hang") {
    char* end = nullptr;
    const double seconds = std::strtod(argument.c_str(), &end);
    // A hang is played in whole milliseconds: one that rounds to none is refused.
    if (!IsDecimal(argument, true) || *end != '\0' || !std::isfinite(seconds) || seconds < 0.0005 ||
        seconds > 3600) {
      return "hang takes SECONDS, from 0.001 to 3600: hang:2";
    }
    fault = Fault::Delayed(std::chrono::milliseconds(std::llround(seconds * 1000)));
  } else if (action == "close" || action == "garbage") {
    if (hasArgument) return action + " takes no argument";
    fault = action == "close" ? Fault::CloseConnection() : Fault::Answer(200, kGarbage);
  } else if (action == "drip") {
    const std::optional<long> rate = Whole(argument, 1, 1000);
    if (!rate) return "drip takes BYTES_PER_SECOND from 1 to 1000: drip:10";
    fault = Fault::Drip({}, static_cast<double>(*rate));
  } else {
    return "'" + action +
           "' is not a fault; give a status (500), hang:SECONDS, close, "
           "drip:BYTES_PER_SECOND or garbage";
  }
  fault.path = path == "*" ? std::string() : path;
  fault.count = count;
  fault.given = rule;
  return fault;
}

std::string FaultRuleText(const Fault& fault) {
  std::string text = fault.given;
  if (text.empty()) text = BuiltRuleText(fault);
  if (fault.count > 0) text += "*" + std::to_string(fault.count);
  return text;
}

}  // namespace FacepadSim
