#include "AdminApi.h"

#include <json-c/json.h>

#include <httplib.h>

#include <ctime>

#include "FaultSpec.h"

namespace FacepadSim {

// The page, built from page.html.
extern const char* const kPageHtml;

namespace {

struct JsonPut {
  void operator()(json_object* object) const { json_object_put(object); }
};
using JsonPtr = std::unique_ptr<json_object, JsonPut>;

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
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0') return fallback;
  return static_cast<std::size_t>(std::min<unsigned long long>(value, highest));
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
        faults, Text((fault.path.empty() ? "*" : fault.path) + "=" + FaultSpecText(fault)));
  }
  json_object_object_add(state, "faults", faults);
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
    if (std::string_view(key) == "password" && !text.empty()) text = "••••••";
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
    if (!sn.empty() && entry->body.find("SN=" + sn) == std::string::npos) continue;
    json_object_array_add(entries, json_tokener_parse(JournalLine(*entry).c_str()));
  }
  Answer(response, 200, entries);
}

// The JSON object an admin POST carries, or why it is refused.
std::variant<JsonPtr, std::string> PostedObject(const FacepadSimulator& simulator,
                                                const httplib::Request& request) {
  const std::string address = simulator.Host() + ":" + std::to_string(simulator.Port());
  const std::string host = request.get_header_value("Host");
  const bool loopback = simulator.Host() == "127.0.0.1" || simulator.Host() == "::1";
  if (host != address && !(loopback && host == "localhost:" + std::to_string(simulator.Port()))) {
    return "the Host header must name this simulator (" + address + ")";
  }
  if (request.get_header_value("Content-Type").rfind("application/json", 0) != 0) {
    return std::string("an admin POST carries Content-Type: application/json");
  }
  JsonPtr object(json_tokener_parse(request.body.empty() ? "{}" : request.body.c_str()));
  if (!json_object_is_type(object.get(), json_type_object)) return std::string("not a JSON object");
  return object;
}

std::string Member(json_object* object, const char* key) {
  json_object* member = nullptr;
  if (!json_object_object_get_ex(object, key, &member) || member == nullptr) return {};
  return json_object_get_string(member);
}

void Post(FacepadSimulator& simulator, const std::string& path, const httplib::Request& request,
          httplib::Response& response) {
  std::variant<JsonPtr, std::string> posted = PostedObject(simulator, request);
  if (const auto* why = std::get_if<std::string>(&posted)) return Refuse(response, 403, *why);
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
    const std::string sn = Member(body, "sn");
    json_object* code = nullptr;
    json_object_object_get_ex(body, "code", &code);
    const std::optional<std::string> text =
        code != nullptr ? std::optional<std::string>(json_object_get_string(code)) : std::nullopt;
    if (sn.empty()) {
      simulator.Model().SetResultCode(text);
    } else {
      json_object* count = nullptr;
      json_object_object_get_ex(body, "count", &count);
      simulator.Model().SetNextResultCodes(sn, text.value_or(""),
                                           text ? (count ? json_object_get_int(count) : 1) : 0);
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
  std::string elided = body;
  const auto elide = [&elided](std::size_t start, std::size_t end) {
    const std::size_t bytes = end - start;
    elided.replace(start, bytes, "<" + std::to_string(bytes) + " bytes>");
  };
  std::size_t facepic = elided.rfind("facepic=");
  if (facepic != std::string::npos && (facepic == 0 || elided[facepic - 1] == '\t')) {
    const std::size_t start = facepic + 8;
    const std::size_t end = elided.find('\t', start);
    elide(start, end == std::string::npos ? elided.size() : end);
  }
  const std::string content = R"("content":")";
  const std::size_t found = elided.find(content);
  if (found != std::string::npos) {
    const std::size_t start = found + content.size();
    const std::size_t end = elided.find('"', start);
    if (end != std::string::npos) elide(start, end);
  }
  return elided;
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
  if (request.method != "GET") return Refuse(response, 405, "GET or POST");
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
