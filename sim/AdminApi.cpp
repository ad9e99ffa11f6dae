#include "AdminApi.h"

#include <httplib.h>

#include <map>
#include <set>
#include <variant>

#include "BrowserGuard.h"
#include "ElidedBody.h"
#include "FaultRule.h"
#include "FormBody.h"
#include "Json.h"
#include "Photos.h"

namespace FacepadSim {

// The page, built from page.html.
extern const char* const kPageHtml;

namespace {

void Answer(httplib::Response& response, int status, json_object* document) {
  const JsonPtr owned(document);
  response.status = status;
  response.set_content(CompactJson(owned.get()), "application/json");
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
  json_object_object_add(object, "sn", JsonText(sn));
  json_object_object_add(object, "bound", json_object_new_boolean(terminal.bound));
  json_object_object_add(object, "activated", json_object_new_boolean(terminal.activated));
  json_object_object_add(object, "channel", JsonText(terminal.channel));
  json_object_object_add(object, "ip", JsonText(terminal.ip));
  json_object_object_add(object, "port", JsonText(terminal.port));
  json_object_object_add(object, "level", JsonText(terminal.accountLevel));
  return object;
}

json_object* ResultJson(const std::string& sn, const ResultEntry& result) {
  json_object* object = json_object_new_object();
  json_object_object_add(object, "sn", JsonText(sn));
  json_object_object_add(object, "id", JsonText(result.id));
  json_object_object_add(object, "code", JsonText(result.code));
  return object;
}

// A person's record as texts, passwords masked and photos elided.
json_object* RecordFields(const std::string& record) {
  json_object* fields = json_object_new_object();
  const JsonPtr parsed(json_tokener_parse(record.c_str()));
  if (!json_object_is_type(parsed.get(), json_type_object)) return fields;
  MaskAndElide(parsed.get());
  json_object_object_foreach(parsed.get(), key, value) {
    std::string text;
    if (json_object_is_type(value, json_type_string)) {
      text = json_object_get_string(value);
    } else if (value != nullptr) {
      text = CompactJson(value);
    }
    json_object_object_add(fields, key, JsonText(text));
  }
  return fields;
}

std::string SerialNumberOf(const std::string& body) {
  const std::map<std::string, std::string> fields = ParseFormBody(body, {"SN", "id", "data"});
  const auto sn = fields.find("SN");
  return sn != fields.end() ? sn->second : std::string();
}

struct Refusal {
  int status;
  std::string why;
};

// Each admin action, and the keys its JSON object may hold.
const std::map<std::string, std::set<std::string>> kActions = {
    {"admin/reset", {}},
    {"admin/faults", {"fault"}},
    {"admin/faults/clear", {}},
    {"admin/result-code", {"code", "sn", "count"}},
};

// The JSON object an admin POST to `path` carries, or why it is refused.
std::variant<JsonPtr, Refusal> PostedObject(const std::string& path,
                                            const httplib::Request& request) {
  if (!IsJsonMediaType(request.get_header_value("Content-Type"))) {
    return Refusal{403, "an admin POST carries Content-Type: application/json"};
  }
  JsonPtr object = ParseWholeJson(request.body.empty() ? "{}" : request.body);
  if (!json_object_is_type(object.get(), json_type_object)) {
    return Refusal{400, "the body is not one JSON object"};
  }
  const std::set<std::string>& keys = kActions.at(path);
  json_object_object_foreach(object.get(), key, value) {
    static_cast<void>(value);
    if (keys.count(key) != 0) continue;
    std::string known;
    for (const std::string& name : keys) known += (known.empty() ? "\"" : ", \"") + name + "\"";
    return Refusal{400, "unknown key \"" + std::string(key) + "\": " + path +
                            (known.empty() ? " takes none" : " takes " + known)};
  }
  return object;
}

std::string Member(json_object* object, const char* key) {
  json_object* member = nullptr;
  if (!json_object_object_get_ex(object, key, &member) || member == nullptr) return {};
  // Whole, a NUL inside included, so that what follows one is not lost unseen.
  return std::string(JsonString(member));
}

// Sets the code every operation, or the next ones on a terminal, report:
// {"code": "105"} or {"sn": "FP-1", "code": "105", "count": 2}; a null code
// returns to the service's own. Says what is wrong, if anything.
std::optional<std::string> SetResultCode(ServiceModel& model, json_object* body) {
  json_object* code = nullptr;
  if (!json_object_object_get_ex(body, "code", &code)) return "give \"code\" (null: the own)";
  if (code != nullptr &&
      (!json_object_is_type(code, json_type_string) || json_object_get_string_len(code) == 0 ||
       static_cast<std::size_t>(json_object_get_string_len(code)) > ServiceModel::kLongestCode)) {
    return "\"code\" is a text of 1 to " + std::to_string(ServiceModel::kLongestCode) +
           " bytes, or null";
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

}  // namespace

void AdminApi::Refuse(httplib::Response& response, int status, const std::string& why) {
  json_object* error = json_object_new_object();
  json_object_object_add(error, "error", JsonText(why));
  Answer(response, status, error);
}

AdminApi::AdminApi(ServiceModel& model, Journal& journal, FaultScript& faults)
    : m_model(model), m_journal(journal), m_faults(faults) {}

std::string AdminApi::MethodFor(const std::string& path) {
  if (kActions.count(path) != 0) return "POST";
  for (const char* resource :
       {"", "admin/state", "admin/persons", "admin/photo", "admin/journal"}) {
    if (path == resource) return "GET";
  }
  return {};
}

void AdminApi::State(httplib::Response& response) const {
  json_object* state = json_object_new_object();
  json_object* terminals = json_object_new_array();
  for (const auto& [sn, terminal] : m_model.Terminals()) {
    json_object* entry = TerminalJson(sn, terminal);
    json_object_object_add(entry, "persons",
                           json_object_new_int64(static_cast<int64_t>(m_model.PersonCount(sn))));
    json_object_array_add(terminals, entry);
  }
  json_object_object_add(state, "terminals", terminals);
  json_object* pending = json_object_new_array();
  for (const auto& [sn, entries] : m_model.PendingResults()) {
    for (const ResultEntry& entry : entries) json_object_array_add(pending, ResultJson(sn, entry));
  }
  json_object_object_add(state, "pending", pending);
  json_object* handedOut = json_object_new_array();
  for (const auto& [sn, entry] : m_model.HandedOut()) {
    json_object_array_add(handedOut, ResultJson(sn, entry));
  }
  json_object_object_add(state, "handed_out", handedOut);
  json_object* faults = json_object_new_array();
  for (const Fault& fault : m_faults.List()) {
    json_object_array_add(
        faults, JsonText((fault.path.empty() ? "*" : fault.path) + "=" + FaultRuleText(fault)));
  }
  json_object_object_add(state, "faults", faults);
  json_object_object_add(state, "journal_lines_lost",
                         json_object_new_int64(static_cast<int64_t>(m_journal.FileLinesLost())));
  const ServiceModel::ResultCodes codes = m_model.ResultCodesSet();
  json_object_object_add(state, "result_code", codes.every ? JsonText(*codes.every) : nullptr);
  json_object* profile = json_object_new_object();  // the simulator's own code to the profile's
  for (const auto& [own, named] : m_model.CodeNames()) {
    json_object_object_add(profile, own.c_str(), JsonText(named));
  }
  json_object_object_add(state, "profile_codes", profile);
  json_object* next = json_object_new_object();
  for (const auto& [sn, code] : codes.next) {
    json_object* entry = json_object_new_object();
    json_object_object_add(entry, "code", JsonText(code.first));
    json_object_object_add(entry, "count", json_object_new_int(code.second));
    json_object_object_add(next, sn.c_str(), entry);
  }
  json_object_object_add(state, "next_result_codes", next);
  Answer(response, 200, state);
}

void AdminApi::Persons(const httplib::Request& request, httplib::Response& response) const {
  const std::string sn = request.get_param_value("sn");
  const std::size_t offset = Number(request, "offset", 0, 1000000000);
  const std::size_t limit = Number(request, "limit", 20, 200);
  json_object* page = json_object_new_object();
  json_object_object_add(page, "sn", JsonText(sn));
  json_object_object_add(page, "total",
                         json_object_new_int64(static_cast<int64_t>(m_model.PersonCount(sn))));
  json_object_object_add(page, "offset", json_object_new_int64(static_cast<int64_t>(offset)));
  json_object* persons = json_object_new_array();
  for (const auto& [certnum, person] : m_model.Persons(sn, offset, limit)) {
    json_object* entry = json_object_new_object();
    json_object_object_add(entry, "certnum", JsonText(certnum));
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
void AdminApi::Photo(const httplib::Request& request, httplib::Response& response) const {
  const std::optional<Person> person =
      m_model.FindPerson(request.get_param_value("sn"), request.get_param_value("certnum"));
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

void AdminApi::JournalPage(const httplib::Request& request, httplib::Response& response) const {
  const std::string path = request.get_param_value("path");
  const std::string sn = request.get_param_value("sn");
  const std::size_t limit = Number(request, "limit", 100, 1000);
  const std::vector<JournalEntry> journal = m_journal.Entries();
  json_object* entries = json_object_new_array();
  for (auto entry = journal.rbegin(); entry != journal.rend(); ++entry) {
    if (json_object_array_length(entries) >= limit) break;
    if (!path.empty() && entry->path.find(path) == std::string::npos) continue;
    if (!sn.empty() && SerialNumberOf(entry->body) != sn) continue;
    json_object_array_add(entries, json_tokener_parse(JournalLine(*entry).c_str()));
  }
  Answer(response, 200, entries);
}

void AdminApi::Post(const std::string& path, const httplib::Request& request,
                    httplib::Response& response) const {
  if (kActions.count(path) == 0) return Refuse(response, 404, "no admin action " + path);
  std::variant<JsonPtr, Refusal> posted = PostedObject(path, request);
  if (const auto* refusal = std::get_if<Refusal>(&posted)) {
    return Refuse(response, refusal->status, refusal->why);
  }
  json_object* body = std::get<JsonPtr>(posted).get();

  if (path == "admin/reset") {
    Reset();
  } else if (path == "admin/faults") {
    std::variant<Fault, std::string> fault = ParseFault(Member(body, "fault"));
    if (const auto* why = std::get_if<std::string>(&fault)) return Refuse(response, 400, *why);
    m_faults.Add(std::get<Fault>(fault));
  } else if (path == "admin/faults/clear") {
    m_faults.Clear();
  } else if (std::optional<std::string> why = SetResultCode(m_model, body)) {  // result-code
    return Refuse(response, 400, *why);
  }
  json_object* done = json_object_new_object();
  json_object_object_add(done, "ok", json_object_new_boolean(true));
  Answer(response, 200, done);
}

void AdminApi::Reset() const {
  m_model.Reset();
  m_faults.Clear();
  m_journal.Clear();
}

void AdminApi::Serve(const std::string& path, const httplib::Request& request,
                     httplib::Response& response) const {
  if (request.method == "POST") return Post(path, request, response);
  if (path.empty()) {
    response.set_content(kPageHtml, "text/html; charset=utf-8");
    response.set_header("Content-Security-Policy",
                        "default-src 'self'; img-src 'self' blob:; style-src 'unsafe-inline'; "
                        "script-src 'unsafe-inline'; frame-ancestors 'none'");
    return;
  }
  if (path == "admin/state") return State(response);
  if (path == "admin/persons") return Persons(request, response);
  if (path == "admin/photo") return Photo(request, response);
  if (path == "admin/journal") return JournalPage(request, response);
  Refuse(response, 404, "no admin resource " + path);
}

}  // namespace FacepadSim
