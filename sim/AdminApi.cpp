#include "AdminApi.h"

#include <arpa/inet.h>
#include <json-c/json.h>

#include <httplib.h>

#include <ctime>

#include "FaultRule.h"
#include "FormBody.h"

namespace FacepadSim {

// The page, built from page.html.
extern const char* const kPageHtml;

namespace {

struct JsonPut {
  void operator()(json_object* object) const { json_object_put(object); }
};
using JsonPtr = std::unique_ptr<json_object, JsonPut>;

constexpr const char* kMasked = "••••••";

json_object* Text(const std::string& text) {
  return json_object_new_string_len(text.data(), static_cast<int>(text.size()));
}

std::string PlainJson(json_object* object) {
  const char* text = json_object_to_json_string_ext(
      object, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
  return text != nullptr ? text : "";
}

void Answer(httplib::Response& response, int status, json_object* document) {
  const JsonPtr owned(document);
  response.status = status;
  response.set_content(PlainJson(owned.get()), "application/json");
}

void Refuse(httplib::Response& response, int status, const std::string& why) {
  json_object* error = json_object_new_object();
  json_object_object_add(error, "error", Text(why));
  Answer(response, status, error);
}

std::string IsoTime(std::chrono::system_clock::time_point at) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(at);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count() % 1000;
  std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(millis));
  return text;
}

std::string Base64Decode(const std::string& text) {
  std::string bytes;
  bytes.reserve(text.size() / 4 * 3);
  unsigned buffer = 0;
  int bits = 0;
  for (const char c : text) {
    int value = -1;
    if (c >= 'A' && c <= 'Z') value = c - 'A';
    if (c >= 'a' && c <= 'z') value = c - 'a' + 26;
    if (c >= '0' && c <= '9') value = c - '0' + 52;
    if (c == '+') value = 62;
    if (c == '/') value = 63;
    if (value < 0) continue;  // padding, line breaks
    buffer = (buffer << 6) | static_cast<unsigned>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes += static_cast<char>((buffer >> bits) & 0xFF);
    }
  }
  return bytes;
}

// An image's type, told from its own first bytes; empty when it is none.
std::string ImageType(const std::string& bytes) {
  const auto starts = [&bytes](const std::string& magic, std::size_t at = 0) {
    return bytes.compare(at, magic.size(), magic) == 0;
  };
  if (starts("\xFF\xD8\xFF")) return "image/jpeg";
  if (starts("\x89PNG\r\n\x1A\n")) return "image/png";
  if (starts("GIF87a") || starts("GIF89a")) return "image/gif";
  if (starts("RIFF") && starts("WEBP", 8)) return "image/webp";
  return {};
}

std::size_t Number(const httplib::Request& request, const char* name, std::size_t fallback,
                   std::size_t highest) {
  if (!request.has_param(name)) return fallback;
  const std::string text = request.get_param_value(name);
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value < 0) return fallback;
  return static_cast<std::size_t>(std::min<long long>(value, static_cast<long long>(highest)));
}

json_object* TerminalJson(const std::string& sn, const Terminal& terminal) {
  json_object* object = json_object_new_object();
  json_object_object_add(object, "sn", Text(sn));
  json_object_object_add(object, "bound", json_object_new_boolean(terminal.bound));
  json_object_object_add(object, "activated", json_object_new_boolean(terminal.activated));
  json_object_object_add(object, "channel", Text(terminal.channel));
  json_object_object_add(object, "ip", Text(terminal.ip));
  json_object_object_add(object, "port", Text(terminal.port));
  json_object_object_add(object, "level", Text(terminal.accountLevel));
  return object;
}

json_object* ResultJson(const std::string& sn, const ResultEntry& result) {
  json_object* object = json_object_new_object();
  json_object_object_add(object, "sn", Text(sn));
  json_object_object_add(object, "id", Text(result.id));
  json_object_object_add(object, "code", Text(result.code));
  return object;
}

void State(FacepadSimulator& simulator, httplib::Response& response) {
  json_object* state = json_object_new_object();
  json_object* terminals = json_object_new_array();
  for (const auto& [sn, terminal] : simulator.Model().Terminals()) {
    json_object* entry = TerminalJson(sn, terminal);
    json_object_object_add(entry, "persons",
                           json_object_new_int64(static_cast<int64_t>(simulator.PersonCount(sn))));
    json_object_array_add(terminals, entry);
  }
  json_object_object_add(state, "terminals", terminals);
  json_object* pending = json_object_new_array();
  for (const auto& [sn, entries] : simulator.PendingResults()) {
    for (const ResultEntry& entry : entries) json_object_array_add(pending, ResultJson(sn, entry));
  }
  json_object_object_add(state, "pending", pending);
  json_object* handedOut = json_object_new_array();
  for (const auto& [sn, entry] : simulator.Model().HandedOut()) {
    json_object_array_add(handedOut, ResultJson(sn, entry));
  }
  json_object_object_add(state, "handed_out", handedOut);
  json_object* faults = json_object_new_array();
  for (const Fault& fault : simulator.Faults()) {
    json_object_array_add(
        faults, Text((fault.path.empty() ? "*" : fault.path) + "=" + FaultRuleText(fault)));
  }
  json_object_object_add(state, "faults", faults);
  const ServiceModel::ResultCodes codes = simulator.Model().ResultCodesSet();
  json_object_object_add(state, "result_code", codes.every ? Text(*codes.every) : nullptr);
  json_object* next = json_object_new_object();
  for (const auto& [sn, code] : codes.next) {
    json_object* entry = json_object_new_object();
    json_object_object_add(entry, "code", Text(code.first));
    json_object_object_add(entry, "count", json_object_new_int(code.second));
    json_object_object_add(next, sn.c_str(), entry);
  }
  json_object_object_add(state, "next_result_codes", next);
  Answer(response, 200, state);
}

// A person's record as texts, the password masked.
json_object* RecordFields(const std::string& record) {
  json_object* fields = json_object_new_object();
  const JsonPtr parsed(json_tokener_parse(record.c_str()));
  if (!json_object_is_type(parsed.get(), json_type_object)) return fields;
  json_object_object_foreach(parsed.get(), key, value) {
    std::string text;
    if (json_object_is_type(value, json_type_string)) {
      text = json_object_get_string(value);
    } else if (value != nullptr) {
      text = PlainJson(value);
    }
    if (std::string_view(key) == "password" && !text.empty()) text = kMasked;
    json_object_object_add(fields, key, Text(text));
  }
  return fields;
}

void Persons(FacepadSimulator& simulator, const httplib::Request& request,
             httplib::Response& response) {
  const std::string sn = request.get_param_value("sn");
  const std::size_t offset = Number(request, "offset", 0, 1000000000);
  const std::size_t limit = Number(request, "limit", 20, 200);
  json_object* page = json_object_new_object();
  json_object_object_add(page, "sn", Text(sn));
  json_object_object_add(page, "total",
                         json_object_new_int64(static_cast<int64_t>(simulator.PersonCount(sn))));
  json_object_object_add(page, "offset", json_object_new_int64(static_cast<int64_t>(offset)));
  json_object* persons = json_object_new_array();
  for (const auto& [certnum, person] : simulator.Model().Persons(sn, offset, limit)) {
    json_object* entry = json_object_new_object();
    json_object_object_add(entry, "certnum", Text(certnum));
    json_object_object_add(entry, "fields", RecordFields(person.record));
    json_object_object_add(
        entry, "has_photo",
        json_object_new_boolean(!person.photo.empty() || !person.facepic.empty()));
    json_object_array_add(persons, entry);
  }
  json_object_object_add(page, "persons", persons);
  Answer(response, 200, page);
}

// A person's face photo (its last setfacepic, else its adduser's facepic),
// typed by its own first bytes.
void Photo(FacepadSimulator& simulator, const httplib::Request& request,
           httplib::Response& response) {
  const std::optional<Person> person =
      simulator.FindPerson(request.get_param_value("sn"), request.get_param_value("certnum"));
  if (!person) return Refuse(response, 404, "no such person");
  if (person->photo.empty() && person->facepic.empty()) return Refuse(response, 404, "no photo");
  const std::string bytes = Base64Decode(person->photo.empty() ? person->facepic : person->photo);
  const std::string type = ImageType(bytes);
  if (type.empty()) {
    json_object* none = json_object_new_object();
    json_object_object_add(none, "image", json_object_new_boolean(false));
    json_object_object_add(none, "bytes",
                           json_object_new_int64(static_cast<int64_t>(bytes.size())));
    return Answer(response, 200, none);
  }
  response.set_content(bytes, type);
  response.set_header("X-Content-Type-Options", "nosniff");
}

std::string SerialNumberOf(const std::string& body) {
  const std::map<std::string, std::string> fields = ParseFormBody(body, {"SN", "id", "data"});
  const auto sn = fields.find("SN");
  return sn != fields.end() ? sn->second : std::string();
}

void Journal(FacepadSimulator& simulator, const httplib::Request& request,
             httplib::Response& response) {
  const std::string path = request.get_param_value("path");
  const std::string sn = request.get_param_value("sn");
  const std::size_t limit = Number(request, "limit", 100, 1000);
  const std::vector<JournalEntry> journal = simulator.Journal();
  json_object* entries = json_object_new_array();
  for (auto entry = journal.rbegin(); entry != journal.rend(); ++entry) {
    if (json_object_array_length(entries) >= limit) break;
    if (!path.empty() && entry->path.find(path) == std::string::npos) continue;
    if (!sn.empty() && SerialNumberOf(entry->body) != sn) continue;
    json_object_array_add(entries, json_tokener_parse(JournalLine(*entry).c_str()));
  }
  Answer(response, 200, entries);
}

struct Refusal {
  int status;
  std::string why;
};

// Whether `host` (a Host header) names this simulator: by the address it
// listens on, as localhost or by any IP address, with its port. A name that
// only resolves here (a page's own domain, rebound) is not taken.
bool NamesThisSimulator(const std::string& host, const FacepadSimulator& simulator) {
  const std::string port = ":" + std::to_string(simulator.Port());
  if (host.size() <= port.size() ||
      host.compare(host.size() - port.size(), port.size(), port) != 0) {
    return false;
  }
  std::string name = host.substr(0, host.size() - port.size());
  if (name == simulator.Host() || name == "localhost") return true;
  if (name.size() > 2 && name.front() == '[' && name.back() == ']') {
    name = name.substr(1, name.size() - 2);
    in6_addr address6{};
    return inet_pton(AF_INET6, name.c_str(), &address6) == 1;
  }
  in_addr address{};
  return inet_pton(AF_INET, name.c_str(), &address) == 1;
}

// The JSON object an admin POST carries, or why it is refused.
std::variant<JsonPtr, Refusal> PostedObject(const FacepadSimulator& simulator,
                                            const httplib::Request& request) {
  if (!NamesThisSimulator(request.get_header_value("Host"), simulator)) {
    return Refusal{403, "the Host header must name this simulator by its address or as localhost"};
  }
  if (request.get_header_value("Content-Type").rfind("application/json", 0) != 0) {
    return Refusal{403, "an admin POST carries Content-Type: application/json"};
  }
  JsonPtr object(json_tokener_parse(request.body.empty() ? "{}" : request.body.c_str()));
  if (!json_object_is_type(object.get(), json_type_object)) {
    return Refusal{400, "the body is not a JSON object"};
  }
  return object;
}

std::string Member(json_object* object, const char* key) {
  json_object* member = nullptr;
  if (!json_object_object_get_ex(object, key, &member) || member == nullptr) return {};
  return json_object_get_string(member);
}

// Sets the code every operation, or the next ones on a terminal, report:
// {"code": "105"} or {"sn": "FP-1", "code": "105", "count": 2}; a null code
// returns to the service's own. Says what is wrong, if anything.
std::optional<std::string> SetResultCode(ServiceModel& model, json_object* body) {
  json_object* code = nullptr;
  if (!json_object_object_get_ex(body, "code", &code)) return "give \"code\" (null: the own)";
  if (code != nullptr &&
      (!json_object_is_type(code, json_type_string) || json_object_get_string_len(code) == 0)) {
    return "\"code\" is a non-empty text, or null";
  }
  const std::optional<std::string> text =
      code != nullptr ? std::optional<std::string>(json_object_get_string(code)) : std::nullopt;
  const std::string sn = Member(body, "sn");
  if (sn.empty()) {
    model.SetResultCode(text);
    return std::nullopt;
  }
  json_object* count = nullptr;
  int times = 1;
  if (json_object_object_get_ex(body, "count", &count)) {
    if (!json_object_is_type(count, json_type_int) || json_object_get_int64(count) < 1 ||
        json_object_get_int64(count) > 1000000) {
      return "\"count\" is a whole number from 1";
    }
    times = json_object_get_int(count);
  }
  model.SetNextResultCodes(sn, text.value_or(""), text ? times : 0);
  return std::nullopt;
}

void Post(FacepadSimulator& simulator, const std::string& path, const httplib::Request& request,
          httplib::Response& response) {
  std::variant<JsonPtr, Refusal> posted = PostedObject(simulator, request);
  if (const auto* refusal = std::get_if<Refusal>(&posted)) {
    return Refuse(response, refusal->status, refusal->why);
  }
  json_object* body = std::get<JsonPtr>(posted).get();

  if (path == "admin/reset") {
    simulator.Reset();
  } else if (path == "admin/faults") {
    std::variant<Fault, std::string> fault = ParseFault(Member(body, "fault"));
    if (const auto* why = std::get_if<std::string>(&fault)) return Refuse(response, 400, *why);
    simulator.AddFault(std::get<Fault>(fault));
  } else if (path == "admin/faults/clear") {
    simulator.ClearFaults();
  } else if (path == "admin/result-code") {
    if (std::optional<std::string> why = SetResultCode(simulator.Model(), body)) {
      return Refuse(response, 400, *why);
    }
  } else {
    return Refuse(response, 404, "no admin action " + path);
  }
  json_object* done = json_object_new_object();
  json_object_object_add(done, "ok", json_object_new_boolean(true));
  Answer(response, 200, done);
}

}  // namespace

std::string ElidedBody(const std::string& body) {
  std::string shown = body;
  // The bytes base64 text of `length` characters stands for.
  const auto decoded = [&shown](std::size_t start, std::size_t length) {
    std::size_t padding = 0;
    while (padding < length && shown[start + length - 1 - padding] == '=') ++padding;
    return (length - padding) * 3 / 4;
  };
  const auto replace = [&shown](std::size_t start, std::size_t end, const std::string& with) {
    shown.replace(start, end - start, with);
    return start + with.size();
  };
  // A form field's value runs to the next tab; a JSON text's to its quote.
  const auto formValue = [&shown](const std::string& name) -> std::optional<std::size_t> {
    for (std::size_t at = shown.find(name + "="); at != std::string::npos;
         at = shown.find(name + "=", at + 1)) {
      if (at == 0 || shown[at - 1] == '\t') return at + name.size() + 1;
    }
    return std::nullopt;
  };
  const auto jsonValue = [&shown](const std::string& key,
                                  std::size_t from) -> std::optional<std::size_t> {
    const std::size_t at = shown.find("\"" + key + "\"", from);
    if (at == std::string::npos) return std::nullopt;
    std::size_t value = at + key.size() + 2;
    while (value < shown.size() && (shown[value] == ' ' || shown[value] == ':')) ++value;
    if (value >= shown.size() || shown[value] != '"') return std::nullopt;
    return value + 1;
  };
  const auto valueEnd = [&shown](std::size_t start, char end) {
    const std::size_t found = shown.find(end, start);
    return found == std::string::npos ? shown.size() : found;
  };

  if (const auto start = formValue("facepic")) {
    const std::size_t end = valueEnd(*start, '\t');
    replace(*start, end, "<" + std::to_string(decoded(*start, end - *start)) + " bytes>");
  }
  if (const auto start = jsonValue("content", 0)) {
    const std::size_t end = valueEnd(*start, '"');
    replace(*start, end, "<" + std::to_string(decoded(*start, end - *start)) + " bytes>");
  }
  if (const auto start = formValue("password")) {
    const std::size_t end = valueEnd(*start, '\t');
    if (end > *start) replace(*start, end, kMasked);
  }
  for (std::size_t from = 0; const auto start = jsonValue("password", from);) {
    const std::size_t end = valueEnd(*start, '"');
    from = end > *start ? replace(*start, end, kMasked) : end;
  }
  return shown;
}

std::string JournalLine(const JournalEntry& entry) {
  const JsonPtr line(json_object_new_object());
  json_object_object_add(line.get(), "time", Text(IsoTime(entry.at)));
  json_object_object_add(line.get(), "method", Text(entry.method));
  json_object_object_add(line.get(), "path", Text(entry.path));
  json_object_object_add(line.get(), "status", json_object_new_int(entry.status));
  json_object_object_add(line.get(), "body", Text(ElidedBody(entry.body)));
  return PlainJson(line.get());
}

void ServeAdmin(FacepadSimulator& simulator, const std::string& path,
                const httplib::Request& request, httplib::Response& response) {
  if (request.method == "POST") return Post(simulator, path, request, response);
  if (request.method != "GET") return Refuse(response, 405, "the admin API takes GET and POST");
  if (path.empty()) {
    response.set_content(kPageHtml, "text/html; charset=utf-8");
    response.set_header("Content-Security-Policy",
                        "default-src 'self'; img-src 'self' blob:; style-src 'unsafe-inline'; "
                        "script-src 'unsafe-inline'");
    return;
  }
  if (path == "admin/state") return State(simulator, response);
  if (path == "admin/persons") return Persons(simulator, request, response);
  if (path == "admin/photo") return Photo(simulator, request, response);
  if (path == "admin/journal") return Journal(simulator, request, response);
  Refuse(response, 404, "no admin resource " + path);
}

}  // namespace FacepadSim
