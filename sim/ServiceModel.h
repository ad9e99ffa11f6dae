// ServiceModel: what the facepad service does, without sockets. It takes a
// request's endpoint and body, keeps terminals, persons with their photos and
// the queue of pending results in SQLite, and answers as the service does.
// The HTTP server, its journal and its faults sit around it.
//
// All members are safe to call from any thread.
#ifndef FACEPAD_SERVICE_MODEL_H
#define FACEPAD_SERVICE_MODEL_H

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct json_object;

namespace FacepadSim {

class StateFile;

struct Person {
  std::string record;   // the "data=" JSON text last accepted for the person
  std::string facepic;  // the "facepic=" text of its adduser, if any
  std::string photo;    // "content" of its last setfacepic
  int photoSize = 0;    // "size" of its last setfacepic
};

struct Terminal {
  bool activated = false;
  std::string accountUser, accountPassword, accountLevel;
  bool bound = false;
  std::string channel, ip, port, username, password;
};

struct ResultEntry {
  std::string id;
  std::string code;
};

// The result codes this simulator reports (a real service defines its own).
namespace Code {
inline constexpr const char* kDone = "0";
inline constexpr const char* kPersonExists = "101";
inline constexpr const char* kPersonUnknown = "102";
inline constexpr const char* kNoCertnum = "103";
inline constexpr const char* kNoPhoto = "104";
inline constexpr const char* kNotActivated = "105";
inline constexpr const char* kNotBound = "106";
}  // namespace Code

class ServiceModel {
 public:
  // Where the state lives: a file (kept, and written ahead so that whatever
  // was answered survives the process), ":memory:", or, when empty, a
  // temporary file removed on destruction. Throws std::runtime_error when
  // the database cannot be opened.
  explicit ServiceModel(const std::string& database = ":memory:");
  ~ServiceModel();
  ServiceModel(const ServiceModel&) = delete;
  ServiceModel& operator=(const ServiceModel&) = delete;

  struct Answer {
    int status = 200;
    std::string body = "ok";
  };
  // A result poll hands out at most this many results, the oldest first, in
  // at most this many bytes; the rest wait for the next poll. So an answer
  // stays far below the adaptor's 64 MiB cap, past which it would be lost.
  static constexpr std::size_t kResultsPerPoll = 10000;
  static constexpr std::size_t kResultBytesPerPoll = std::size_t{4} << 20;
  // A request's SN or id longer than this is refused with 400, and so is a
  // result code set longer than kLongestCode: each is in a poll's answer.
  static constexpr std::size_t kLongestName = 256;
  static constexpr std::size_t kLongestCode = 64;

  // One request to `path` (e.g. "facepad/adduser") with `body` as received.
  Answer Handle(const std::string& path, const std::string& body);

  // Forgets every terminal, person and pending result, and the result codes set.
  void Reset();

  // Whether `path` is one of the service's endpoints ("facepad/adduser", ...).
  static bool IsEndpoint(const std::string& path);

  // The code every operation reports from now on instead of its own
  // (std::nullopt: its own).
  void SetResultCode(std::optional<std::string> code);
  // A service's own codes for the simulator's: "0", "101" and "102" are
  // reported as `names` says. A code set above, or per terminal, wins.
  void SetCodeNames(std::map<std::string, std::string> names);
  std::map<std::string, std::string> CodeNames() const;
  // The code the next `count` operations on terminal `sn` report; these come
  // before the one above.
  void SetNextResultCodes(const std::string& sn, const std::string& code, int count);
  struct ResultCodes {
    std::optional<std::string> every;
    std::map<std::string, std::pair<std::string, int>> next;  // by sn: the code, how many more
  };
  ResultCodes ResultCodesSet() const;

  // Queues a result as if a request with `id` for terminal `sn` had ended with `code`.
  void QueueResult(const std::string& sn, const std::string& id, const std::string& code);
  // The next result poll is answered with exactly `body` (pending results stay queued).
  void QueueResultAnswer(std::string body);
  // Results queued and not yet handed out, by serial number.
  std::map<std::string, std::vector<ResultEntry>> PendingResults() const;
  // Terminal status polls are answered with exactly `body` from now on;
  // std::nullopt returns to answers built from the terminals' state.
  void SetTerminalStatusAnswer(std::optional<std::string> body);

  // Every terminal the service knows (activated, bound or holding persons),
  // by serial number.
  std::map<std::string, Terminal> Terminals() const;
  // A page of terminal `sn`'s persons in certnum order: up to `limit` from
  // `offset` on, with their certnums.
  std::vector<std::pair<std::string, Person>> Persons(const std::string& sn, std::size_t offset,
                                                      std::size_t limit) const;
  // The last results handed out by polls, newest first (at most 50), with
  // their serial numbers.
  std::vector<std::pair<std::string, ResultEntry>> HandedOut() const;

  std::optional<Person> FindPerson(const std::string& sn, const std::string& certnum) const;
  std::size_t PersonCount(const std::string& sn) const;
  std::optional<Terminal> FindTerminal(const std::string& sn) const;
  // The last "facepad/setport" request's port and reset texts.
  std::optional<std::pair<std::string, std::string>> ListenPortRequest() const;

 private:
  using Fields = std::map<std::string, std::string>;
  // An endpoint of the service: its path, its form fields and what it does.
  struct Endpoint;
  static const Endpoint* FindEndpoint(const std::string& path);

  // Endpoint behaviour, with m_mutex held, given the request's fields and
  // its parsed "data=" (null where the endpoint has none). Each returns the
  // code to queue for the request's id, or null when it queues none.
  const char* AddUser(const Fields& fields, json_object* data);
  const char* SetUser(const Fields& fields, json_object* data);
  const char* DelUser(const Fields& fields, json_object* data);
  const char* SetFacePic(const Fields& fields, json_object* data);
  const char* Activate(const Fields& fields, json_object* data);
  const char* ActivationStatus(const Fields& fields, json_object* data);
  const char* Bind(const Fields& fields, json_object* data);
  const char* Unbind(const Fields& fields, json_object* data);
  const char* SetListenPort(const Fields& fields, json_object* data);
  const char* ControlDevice(const Fields& fields, json_object* data);
  std::string ResultAnswer();
  std::string TerminalStatusAnswer(const std::string& sn) const;
  bool HasPerson(const std::string& sn, const std::string& certnum) const;
  // The code an operation on `sn` reports, its own being `own`.
  std::string ReportedCode(const std::string& sn, const char* own);
  std::optional<Terminal> FindTerminalLocked(const std::string& sn) const;
  std::map<std::string, std::vector<ResultEntry>> PendingLocked() const;

  mutable std::mutex m_mutex;  // guards everything below
  std::unique_ptr<StateFile> m_state;
  std::deque<std::string> m_resultAnswers;
  std::optional<std::string> m_terminalStatusAnswer;
  std::deque<std::pair<std::string, ResultEntry>> m_handedOut;  // newest first
  std::optional<std::string> m_resultCode;
  std::map<std::string, std::string> m_codeNames;  // the simulator's own code to the service's
  std::map<std::string, std::pair<std::string, int>> m_nextResultCodes;  // by sn: code, count
};

}  // namespace FacepadSim

#endif  // FACEPAD_SERVICE_MODEL_H
