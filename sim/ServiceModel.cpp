#include "ServiceModel.h"

#include <json-c/json.h>

#include <algorithm>
#include <cstdint>
#include <string_view>

#include "FormBody.h"
#include "Json.h"
#include "StateFile.h"

namespace FacepadSim {
namespace {

std::string FieldOr(const std::map<std::string, std::string>& fields, const char* name) {
  const auto found = fields.find(name);
  return found != fields.end() ? found->second : std::string();
}

std::string MemberText(json_object* object, const char* key) {
  json_object* member = nullptr;
  if (!json_object_object_get_ex(object, key, &member) || member == nullptr) return {};
  const char* text = json_object_get_string(member);
  return text != nullptr ? text : "";
}

std::string PlainJson(json_object* object) {
  const char* text = json_object_to_json_string_ext(object, JSON_C_TO_STRING_PLAIN);
  return text != nullptr ? text : "";
}

constexpr const char* kSchema = R"(
  CREATE TABLE IF NOT EXISTS terminals (
    sn TEXT PRIMARY KEY, activated INTEGER NOT NULL DEFAULT 0,
    account_user TEXT NOT NULL DEFAULT '', account_password TEXT NOT NULL DEFAULT '',
    account_level TEXT NOT NULL DEFAULT '', bound INTEGER NOT NULL DEFAULT 0,
    channel TEXT NOT NULL DEFAULT '', ip TEXT NOT NULL DEFAULT '', port TEXT NOT NULL DEFAULT '',
    username TEXT NOT NULL DEFAULT '', password TEXT NOT NULL DEFAULT '');
  CREATE TABLE IF NOT EXISTS persons (
    sn TEXT NOT NULL, certnum TEXT NOT NULL, record TEXT NOT NULL,
    facepic TEXT NOT NULL DEFAULT '', photo TEXT NOT NULL DEFAULT '',
    photo_size INTEGER NOT NULL DEFAULT 0, PRIMARY KEY (sn, certnum));
  CREATE TABLE IF NOT EXISTS results (
    seq INTEGER PRIMARY KEY AUTOINCREMENT, sn TEXT NOT NULL, id TEXT NOT NULL,
    code TEXT NOT NULL);
  CREATE TABLE IF NOT EXISTS settings (name TEXT PRIMARY KEY, value TEXT NOT NULL);
)";

using Row = FacepadCommon::Sqlite::Statement;

// How many of the results handed out are kept, for looking at.
constexpr std::size_t kHandedOutKept = 50;

}  // namespace

ServiceModel::ServiceModel(const std::string& database)
    : m_state(std::make_unique<StateFile>(database)) {
  m_state->Db().Execute(kSchema);
}

ServiceModel::~ServiceModel() = default;

struct ServiceModel::Endpoint {
  const char* path;
  std::vector<std::string_view> required;
  std::vector<std::string_view> optional;
  bool jsonData;
  const char* (ServiceModel::*apply)(const Fields&, json_object*);
};

const ServiceModel::Endpoint* ServiceModel::FindEndpoint(const std::string& path) {
  static const Endpoint kEndpoints[] = {
      {"facepad/adduser", {"SN", "id", "data"}, {"facepic"}, true, &ServiceModel::AddUser},
      {"facepad/setuser", {"SN", "id", "data"}, {}, true, &ServiceModel::SetUser},
      {"facepad/deluser", {"SN", "id", "data"}, {}, true, &ServiceModel::DelUser},
      {"facepad/setfacepic", {"SN", "id", "data"}, {}, true, &ServiceModel::SetFacePic},
      {"facepad/binding",
       {"SN", "ch", "ip", "port", "username", "password"},
       {},
       false,
       &ServiceModel::Bind},
      {"facepad/unbinding", {"SN"}, {}, false, &ServiceModel::Unbind},
      {"facepad/setport", {"port", "reset"}, {}, false, &ServiceModel::SetListenPort},
      {"facepad/controldevice", {"SN", "id", "data"}, {}, true, &ServiceModel::ControlDevice},
      {"facepad/getterminalstatus", {"SN"}, {}, false, nullptr},
      {"facepad/active", {"SN", "id", "data"}, {}, true, &ServiceModel::Activate},
      {"facepad/activationstatus", {"SN", "id"}, {}, false, &ServiceModel::ActivationStatus},
      {"facepad/getresult", {}, {}, false, nullptr},
  };
  for (const Endpoint& endpoint : kEndpoints) {
    if (path == endpoint.path) return &endpoint;
  }
  return nullptr;
}

ServiceModel::Answer ServiceModel::Handle(const std::string& path, const std::string& body) {
  const Endpoint* endpoint = FindEndpoint(path);
  if (endpoint == nullptr) return {404, "unknown endpoint: " + path};
  // An empty post to "facepad/active" is how clients probe the service.
  if (path == "facepad/active" && body.empty()) return {};

  std::vector<std::string_view> names = endpoint->required;
  names.insert(names.end(), endpoint->optional.begin(), endpoint->optional.end());
  const Fields fields = ParseFormBody(body, names);
  for (std::string_view name : endpoint->required) {
    if (fields.count(std::string(name)) == 0) {
      return {400, "missing field: " + std::string(name)};
    }
  }
  for (const char* name : {"SN", "id"}) {
    const auto field = fields.find(name);
    if (field != fields.end() && field->second.size() > kLongestName) {
      return {400,
              std::string(name) + " is longer than " + std::to_string(kLongestName) + " bytes"};
    }
  }
  JsonPtr data;
  if (endpoint->jsonData) {
    data = ParseWholeJson(fields.at("data"));
    if (!data || !json_object_is_type(data.get(), json_type_object)) {
      return {400, "data is not a JSON object"};
    }
  }

  std::lock_guard<std::mutex> lock(m_mutex);
  if (path == "facepad/getresult") return {200, ResultAnswer()};
  if (path == "facepad/getterminalstatus") return {200, TerminalStatusAnswer(fields.at("SN"))};
  const char* code = (this->*endpoint->apply)(fields, data.get());
  const auto sn = fields.find("SN");
  const auto id = fields.find("id");
  if (code != nullptr && sn != fields.end() && id != fields.end()) {
    m_state->Db().Run("INSERT INTO results (sn, id, code) VALUES (?, ?, ?)",
                      {sn->second, id->second, ReportedCode(sn->second, code)});
  }
  return {};
}

std::string ServiceModel::ReportedCode(const std::string& sn, const char* own) {
  const auto next = m_nextResultCodes.find(sn);
  if (next != m_nextResultCodes.end()) {
    std::string code = next->second.first;
    if (--next->second.second <= 0) m_nextResultCodes.erase(next);
    return code;
  }
  if (m_resultCode) return *m_resultCode;
  const auto named = m_codeNames.find(own);
  return named != m_codeNames.end() ? named->second : own;
}

std::map<std::string, std::string> ServiceModel::CodeNames() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_codeNames;
}

void ServiceModel::SetCodeNames(std::map<std::string, std::string> names) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_codeNames = std::move(names);
}

bool ServiceModel::IsEndpoint(const std::string& path) {
  return FindEndpoint(path) != nullptr;
}

ServiceModel::ResultCodes ServiceModel::ResultCodesSet() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return {m_resultCode, m_nextResultCodes};
}

void ServiceModel::SetResultCode(std::optional<std::string> code) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_resultCode = std::move(code);
}

void ServiceModel::SetNextResultCodes(const std::string& sn, const std::string& code, int count) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (count > 0) {
    m_nextResultCodes[sn] = {code, count};
  } else {
    m_nextResultCodes.erase(sn);
  }
}

bool ServiceModel::HasPerson(const std::string& sn, const std::string& certnum) const {
  bool found = false;
  m_state->Db().Run("SELECT 1 FROM persons WHERE sn = ? AND certnum = ?", {sn, certnum},
                    [&found](const Row& /*row*/) { found = true; });
  return found;
}

const char* ServiceModel::AddUser(const Fields& fields, json_object* data) {
  const std::string certnum = MemberText(data, "certnum");
  if (certnum.empty()) return Code::kNoCertnum;
  const int added = m_state->Db().Run(
      "INSERT OR IGNORE INTO persons (sn, certnum, record, facepic) VALUES (?, ?, ?, ?)",
      {fields.at("SN"), certnum, fields.at("data"), FieldOr(fields, "facepic")});
  return added != 0 ? Code::kDone : Code::kPersonExists;
}

const char* ServiceModel::SetUser(const Fields& fields, json_object* data) {
  const std::string certnum = MemberText(data, "certnum");
  if (certnum.empty()) return Code::kNoCertnum;
  const int changed =
      m_state->Db().Run("UPDATE persons SET record = ? WHERE sn = ? AND certnum = ?",
                        {fields.at("data"), fields.at("SN"), certnum});
  return changed != 0 ? Code::kDone : Code::kPersonUnknown;
}

const char* ServiceModel::DelUser(const Fields& fields, json_object* data) {
  const std::string certnum = MemberText(data, "certnum");
  if (certnum.empty()) return Code::kNoCertnum;
  const int deleted = m_state->Db().Run("DELETE FROM persons WHERE sn = ? AND certnum = ?",
                                        {fields.at("SN"), certnum});
  return deleted != 0 ? Code::kDone : Code::kPersonUnknown;
}

const char* ServiceModel::SetFacePic(const Fields& fields, json_object* data) {
  const std::string certnum = MemberText(data, "certnum");
  if (certnum.empty()) return Code::kNoCertnum;
  if (!HasPerson(fields.at("SN"), certnum)) return Code::kPersonUnknown;
  const std::string content = MemberText(data, "content");
  if (content.empty()) return Code::kNoPhoto;
  json_object* size = nullptr;
  json_object_object_get_ex(data, "size", &size);
  m_state->Db().Run(
      "UPDATE persons SET photo = ?, photo_size = ? WHERE sn = ? AND certnum = ?",
      {content, static_cast<std::int64_t>(json_object_get_int(size)), fields.at("SN"), certnum});
  return Code::kDone;
}

const char* ServiceModel::Activate(const Fields& fields, json_object* data) {
  m_state->Db().Run(
      "INSERT INTO terminals (sn, activated, account_user, account_password, account_level) "
      "VALUES (?1, 1, ?2, ?3, ?4) ON CONFLICT (sn) DO UPDATE SET activated = 1, "
      "account_user = ?2, account_password = ?3, account_level = ?4",
      {fields.at("SN"), MemberText(data, "username"), MemberText(data, "password"),
       MemberText(data, "userlevel")});
  return Code::kDone;
}

const char* ServiceModel::ActivationStatus(const Fields& fields, json_object* /*data*/) {
  const std::optional<Terminal> terminal = FindTerminalLocked(fields.at("SN"));
  return terminal && terminal->activated ? Code::kDone : Code::kNotActivated;
}

const char* ServiceModel::Bind(const Fields& fields, json_object* /*data*/) {
  m_state->Db().Run(
      "INSERT INTO terminals (sn, bound, channel, ip, port, username, password) "
      "VALUES (?1, 1, ?2, ?3, ?4, ?5, ?6) ON CONFLICT (sn) DO UPDATE SET bound = 1, "
      "channel = ?2, ip = ?3, port = ?4, username = ?5, password = ?6",
      {fields.at("SN"), fields.at("ch"), fields.at("ip"), fields.at("port"), fields.at("username"),
       fields.at("password")});
  return nullptr;
}

const char* ServiceModel::Unbind(const Fields& fields, json_object* /*data*/) {
  m_state->Db().Run("UPDATE terminals SET bound = 0 WHERE sn = ?", {fields.at("SN")});
  return nullptr;
}

const char* ServiceModel::SetListenPort(const Fields& fields, json_object* /*data*/) {
  m_state->Db().Run(
      "INSERT OR REPLACE INTO settings (name, value) VALUES ('listen_port', ?), "
      "('listen_reset', ?)",
      {fields.at("port"), fields.at("reset")});
  return nullptr;
}

const char* ServiceModel::ControlDevice(const Fields& fields, json_object* /*data*/) {
  const std::optional<Terminal> terminal = FindTerminalLocked(fields.at("SN"));
  return terminal && terminal->bound ? Code::kDone : Code::kNotBound;
}

std::string ServiceModel::ResultAnswer() {
  if (!m_resultAnswers.empty()) {
    std::string answer = std::move(m_resultAnswers.front());
    m_resultAnswers.pop_front();
    return answer;
  }
  // The oldest results first, up to a poll's worth; the rest wait for the next poll.
  std::map<std::string, std::vector<ResultEntry>> pending;
  std::int64_t lastHanded = 0;
  std::size_t bytes = 0;  // about what each result adds to the answer
  m_state->Db().Run("SELECT seq, sn, id, code FROM results ORDER BY seq LIMIT ?",
                    {static_cast<std::int64_t>(kResultsPerPoll)}, [&](const Row& row) {
                      std::string sn = row.Text(1);
                      ResultEntry entry{row.Text(2), row.Text(3)};
                      bytes += 2 * (sn.size() + entry.id.size() + entry.code.size()) + 64;
                      if (bytes > kResultBytesPerPoll && lastHanded != 0) return;  // the rest wait
                      lastHanded = row.Int(0);
                      pending[std::move(sn)].push_back(std::move(entry));
                    });
  if (pending.empty()) return "result=[]";
  JsonPtr results(json_object_new_array());
  for (const auto& [sn, entries] : pending) {
    JsonPtr list(json_object_new_array());
    for (const ResultEntry& entry : entries) {
      m_handedOut.emplace_front(sn, entry);
      if (m_handedOut.size() > kHandedOutKept) m_handedOut.pop_back();
      json_object* item = json_object_new_object();
      json_object_object_add(item, "id", json_object_new_string(entry.id.c_str()));
      json_object_object_add(item, "return", json_object_new_string(entry.code.c_str()));
      json_object_array_add(list.get(), item);
    }
    json_object* element = json_object_new_object();
    json_object_object_add(element, "SN", json_object_new_string(sn.c_str()));
    json_object_object_add(element, "data", json_object_new_string(PlainJson(list.get()).c_str()));
    json_object_array_add(results.get(), element);
  }
  m_state->Db().Run("DELETE FROM results WHERE seq <= ?", {lastHanded});
  return "result=" + PlainJson(results.get());
}

std::string ServiceModel::TerminalStatusAnswer(const std::string& sn) const {
  if (m_terminalStatusAnswer) return *m_terminalStatusAnswer;
  const std::optional<Terminal> terminal = FindTerminalLocked(sn);
  JsonPtr list(json_object_new_array());
  json_object* entry = json_object_new_object();
  json_object_object_add(entry, "sn", json_object_new_string(sn.c_str()));
  json_object_object_add(entry, "connstatus", json_object_new_int(terminal && terminal->bound));
  json_object_array_add(list.get(), entry);
  return "Data=" + PlainJson(list.get());
}

void ServiceModel::Reset() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_state->Db().Execute(
      "DELETE FROM terminals; DELETE FROM persons; DELETE FROM results; DELETE FROM settings;");
  m_resultAnswers.clear();
  m_terminalStatusAnswer.reset();
  m_nextResultCodes.clear();
  m_resultCode.reset();
  m_handedOut.clear();
}

void ServiceModel::QueueResult(const std::string& sn, const std::string& id,
                               const std::string& code) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_state->Db().Run("INSERT INTO results (sn, id, code) VALUES (?, ?, ?)", {sn, id, code});
}

void ServiceModel::QueueResultAnswer(std::string body) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_resultAnswers.push_back(std::move(body));
}

std::map<std::string, std::vector<ResultEntry>> ServiceModel::PendingLocked() const {
  std::map<std::string, std::vector<ResultEntry>> pending;
  m_state->Db().Run("SELECT sn, id, code FROM results ORDER BY seq", {},
                    [&pending](const Row& row) {
                      pending[row.Text(0)].push_back({row.Text(1), row.Text(2)});
                    });
  return pending;
}

std::map<std::string, std::vector<ResultEntry>> ServiceModel::PendingResults() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return PendingLocked();
}

void ServiceModel::SetTerminalStatusAnswer(std::optional<std::string> body) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_terminalStatusAnswer = std::move(body);
}

std::map<std::string, Terminal> ServiceModel::Terminals() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<std::string> serials;
  m_state->Db().Run("SELECT sn FROM terminals UNION SELECT sn FROM persons", {},
                    [&serials](const Row& row) { serials.push_back(row.Text(0)); });
  std::map<std::string, Terminal> terminals;
  for (const std::string& sn : serials) terminals[sn] = FindTerminalLocked(sn).value_or(Terminal{});
  return terminals;
}

std::vector<std::pair<std::string, Person>> ServiceModel::Persons(const std::string& sn,
                                                                  std::size_t offset,
                                                                  std::size_t limit) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<std::pair<std::string, Person>> persons;
  m_state->Db().Run(
      "SELECT certnum, record, facepic, photo, photo_size FROM persons WHERE sn = ? "
      "ORDER BY certnum LIMIT ? OFFSET ?",
      {sn, static_cast<std::int64_t>(limit), static_cast<std::int64_t>(offset)},
      [&persons](const Row& row) {
        persons.emplace_back(row.Text(0), Person{row.Text(1), row.Text(2), row.Text(3),
                                                 static_cast<int>(row.Int(4))});
      });
  return persons;
}

std::vector<std::pair<std::string, ResultEntry>> ServiceModel::HandedOut() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return {m_handedOut.begin(), m_handedOut.end()};
}

std::optional<Person> ServiceModel::FindPerson(const std::string& sn,
                                               const std::string& certnum) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::optional<Person> person;
  m_state->Db().Run(
      "SELECT record, facepic, photo, photo_size FROM persons WHERE sn = ? AND certnum = ?",
      {sn, certnum}, [&person](const Row& row) {
        person = Person{row.Text(0), row.Text(1), row.Text(2), static_cast<int>(row.Int(3))};
      });
  return person;
}

std::size_t ServiceModel::PersonCount(const std::string& sn) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::size_t count = 0;
  m_state->Db().Run("SELECT COUNT(*) FROM persons WHERE sn = ?", {sn},
                    [&count](const Row& row) { count = static_cast<std::size_t>(row.Int(0)); });
  return count;
}

std::optional<Terminal> ServiceModel::FindTerminalLocked(const std::string& sn) const {
  std::optional<Terminal> terminal;
  m_state->Db().Run(
      "SELECT activated, account_user, account_password, account_level, bound, channel, ip, "
      "port, username, password FROM terminals WHERE sn = ?",
      {sn}, [&terminal](const Row& row) {
        terminal = Terminal{row.Int(0) != 0, row.Text(1), row.Text(2), row.Text(3), row.Int(4) != 0,
                            row.Text(5),     row.Text(6), row.Text(7), row.Text(8), row.Text(9)};
      });
  return terminal;
}

std::optional<Terminal> ServiceModel::FindTerminal(const std::string& sn) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return FindTerminalLocked(sn);
}

std::optional<std::pair<std::string, std::string>> ServiceModel::ListenPortRequest() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::map<std::string, std::string> settings;
  m_state->Db().Run("SELECT name, value FROM settings", {},
                    [&settings](const Row& row) { settings[row.Text(0)] = row.Text(1); });
  if (settings.count("listen_port") == 0) return std::nullopt;
  return std::make_pair(settings["listen_port"], settings["listen_reset"]);
}

}  // namespace FacepadSim
