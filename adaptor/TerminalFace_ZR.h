// TerminalFace_ZR: the face-terminal adaptor. Every operation is one
// synchronous HTTP POST to the local facepad service, which talks to the
// terminals; a poller thread owned by each adaptor fetches the service's
// results and hands them to the host's callback.
#ifndef TERMINALFACE_ZR_H
#define TERMINALFACE_ZR_H

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "CLS_TerminalFace_Base.h"
#include "Terminal_Http_Tool.h"
#include "ZR_Export.h"

namespace ZR_Framework {
namespace Face {

class ResultPoller;

class ZR_API TerminalFace_ZR : public CLS_TerminalFace_Base {
 public:
  // Starts the result poller. Throws std::system_error when its thread cannot
  // be started; no object exists then.
  TerminalFace_ZR();
  // Stops the poller at once, interrupting a poll in flight. Once it has
  // raised its stop flag no callback starts; a callback the poller had
  // already begun runs to its end, and the destructor waits for it (unless
  // it is called inside that callback, which is allowed).
  ~TerminalFace_ZR() override;

  // Stops polling without losing results, for a host that shuts down: no
  // poll starts after it is called, and a poll in flight is waited for, up
  // to `bound`, and its results, with any still waiting for a handler, are
  // handed to the handler before it returns. A poll still unanswered after
  // `bound` is interrupted, and the results it may have taken from the
  // service are lost: false then, and when no handler is registered to take
  // the results waiting; true otherwise. Called inside the handler, it stops further polls and
  // returns true at once. Final: polling does not resume. The destructor stays prompt after it.
  bool StopPolling(std::chrono::milliseconds bound);

  TerminalFace_ZR(const TerminalFace_ZR&) = delete;
  TerminalFace_ZR& operator=(const TerminalFace_ZR&) = delete;

  // Persons and faces.
  bool AddUser(const std::string& id, const std::string& sn, ParamMap& person) override;
  bool DelUser(const std::string& id, const std::string& sn, ParamMap& person) override;
  bool SetBiophoto(const std::string& id, const std::string& sn, ParamMap& photo) override;
  // Does nothing; always false.
  bool DelBiophoto(const std::string& id, const std::string& sn, ParamMap& photo) override;

  // Result delivery. The callback runs on the poller's thread.
  bool SetResultCallbackFace(ResultCallback callback) override;
  // The same for any callable, such as a lambda that knows which adaptor or
  // service it serves. Either registration replaces the other, under the
  // same delivery rules; a delivery under way keeps the one it began with.
  // An empty handler is refused (false, Failure::RefusedValue).
  using ResultHandler = std::function<int(ResultMap&)>;
  bool SetResultHandler(ResultHandler handler);

  // Terminal administration.
  bool SetListenPortFace(std::string& port, std::string& reset) override;
  // Does nothing; always false.
  bool SetInitParamFace(ParamMap& params) override;
  bool GetAvailableFace(ParamMap& params) override;
  bool BindTerminalFace(const std::string& sn, const int& channel, const std::string& ip,
                        const std::string& port, const std::string& username,
                        const std::string& password) override;
  bool UnBindTerminalFace(const std::string& sn) override;
  bool GetTerminalStatusFace(const std::string& sn) override;
  // The third to fifth arguments are not read.
  bool ControlDeviceFace(const std::string& id, const std::string& sn, const std::string& arg3,
                         const std::string& arg4, const std::string& arg5) override;

  // Settings: the service's address (a bare host, such as "127.0.0.1") and
  // port. Safe to change from any thread; a change applies from the next
  // request on, the poller's included.
  bool SetUrl(const std::string& url) override;
  std::string GetUrl() const;
  bool SetRequestPort(int port);
  int GetRequestPort() const;
  // "http://" + address + ":" + port + "/" + path, unchecked. Operations
  // post only where it reaches the address and port that were set: an
  // address holding '#', '?', '/', '@' or a blank makes them refuse
  // (Failure::RefusedValue), and the poller skip its polls.
  std::string GetFullPostUrl(const std::string& path) const;

  bool SetUser(const std::string& id, const std::string& sn, ParamMap& person);
  bool Active(const std::string& id, const std::string& sn, const std::string& username,
              const std::string& password, const std::string& userlevel);
  bool ActivationStatus(const std::string& id, const std::string& sn);

  // Parses a result array (JSON text) into `results`: each serial number it
  // names gets its entries, replacing what `results` held for it (elements
  // with the same serial number add up). True when at least one entry was
  // stored.
  bool JsonDataToMapData(const std::string& json, ResultMap& results);

  // Time-outs of the adaptor's HTTP client (defaults: 5 s to connect, 30 s for
  // a whole request). Each is clamped, silently, to 1 ms – 24 h.
  void SetHttpTimeouts(std::chrono::milliseconds connect, std::chrono::milliseconds total);

  // Why the last operation on the calling thread returned false, for hosts
  // that tell their operators more than the log records do. Each operation
  // sets it when it ends (None after a success), on its own thread only.
  enum class Failure {
    None,              // it succeeded, or no operation has ended on this thread
    NotReached,        // no connection to the service could be made
    TimedOut,          // the service did not answer within the time-out
    NoAnswer,          // the connection failed mid-way, or the answer was too large
    Status,            // the service answered with a status other than 200: `status`
    RefusedValue,      // a value was refused (a tab or NUL, a port out of range, ...)
    NoDocument,        // a JSON document could not be made; nothing was sent
    OutOfMemory,       // memory ran out
    NotConnected,      // GetTerminalStatusFace: the terminal is not connected
    UnreadableAnswer,  // GetTerminalStatusFace: the answer had no readable list
    NotSupported,      // DelBiophoto and SetInitParamFace, which do nothing
    NotHttp,           // a connection was made and the answer was not HTTP
    Exception,         // an exception other than running out of memory
  };
  struct FailureReason {
    Failure failure = Failure::None;
    int status = 0;  // with Failure::Status
  };
  static FailureReason LastFailure();

  // When the poller polls: `first` after the adaptor was made; after that,
  // `busy` while fewer than ten polls in a row have left the host's map (and
  // the results waiting for it) empty, and `idle` from the tenth on, until a
  // poll leaves the map holding a serial number. (A host that empties its map
  // in its callback counts as idle even when every poll brings results.) A
  // poll that fails, or whose answer holds no result list, leaves the count
  // as it was and takes the interval from it. An answer whose list is written
  // "[]" keeps the interval as it was (so a service that has answered nothing
  // else since the adaptor was made is polled every `first`).
  struct PollerTiming {
    std::chrono::milliseconds first;
    std::chrono::milliseconds busy;
    std::chrono::milliseconds idle;
  };
  // What a host gets unless it says otherwise: 8 s, 1 s, 8 s.
  static constexpr PollerTiming kDefaultPollerTiming{
      std::chrono::seconds(8), std::chrono::seconds(1), std::chrono::seconds(8)};
  // Changes the poller's timing from the wait under way on, which is measured
  // again from its start (and ends at once if the new interval has passed).
  // Safe from any thread. Each interval is clamped, silently, to
  // kShortestPollInterval – kLongestPollInterval: no timing makes the poller
  // poll more often than every 10 ms. A tool that awaits its own results
  // polls sooner; one that awaits none can keep the first wait longer than
  // it runs.
  static constexpr std::chrono::milliseconds kShortestPollInterval{10};
  static constexpr std::chrono::milliseconds kLongestPollInterval{std::chrono::hours(24 * 7)};
  void SetPollerTiming(const PollerTiming& timing);

  // One POST the adaptor made, a result poll included, as an observer sees
  // it. The views are valid during the call only. Bodies and answers hold
  // personal data and passwords: mask them before they are logged.
  struct Exchange {
    std::string_view path;    // "facepad/adduser"
    std::string_view body;    // as sent
    int status = 0;           // the HTTP status; 0 when no answer came
    std::string_view answer;  // the answer's bytes; empty when no status came
    std::chrono::microseconds elapsed{0};
    Failure failure = Failure::None;  // None: the status was 200
  };
  using ExchangeObserver = std::function<void(const Exchange&)>;
  // Called after every POST, on the thread that made it, until replaced; an
  // empty observer clears it. An observer that throws changes nothing of
  // the operation. Safe to call while operations run. False only when
  // memory ran out.
  bool SetExchangeObserver(ExchangeObserver observer);

 protected:
  // For tests: a poller whose timing is scaled down, `pollerTick` standing for
  // 100 ms (first 80 ticks, then 10 or 80).
  explicit TerminalFace_ZR(std::chrono::milliseconds pollerTick);

 private:
  friend class ResultPoller;

  // GetFullPostUrl(path) into `url`; false, with Failure::RefusedValue, when
  // it does not reach the address and port that were set.
  ZR_HIDDEN bool ServiceUrl(const std::string& path, std::string& url) const;
  // Posts `body` to the endpoint `path`. True when the service answered with
  // status "200"; otherwise logs `postFailedText` (the post failed) or
  // `statusFailedText` (another status), when not null, and returns false.
  ZR_HIDDEN bool PostRequest(const char* path, const std::string& body, std::string& response,
                             const char* postFailedText, const char* statusFailedText);
  // The poller's request to "facepad/getresult": logs nothing, and the
  // poller's destructor can interrupt it. Told to `observer` when not null.
  ZR_HIDDEN bool PostResultPoll(std::string& answer, const ExchangeObserver* observer);
  // Tells `observer` of one POST: `posted` is what the HTTP client
  // returned, `status` the status it read.
  ZR_HIDDEN void Observe(const ExchangeObserver& observer, const char* path,
                         const std::string& body, bool posted, const std::string& status,
                         const std::string& answer, std::chrono::steady_clock::time_point start);

  mutable std::mutex m_settingsMutex;  // guards m_strUrl and m_strPort
  std::string m_strUrl;
  std::string m_strPort;
  ZR_Framework::Terminal_Http_Tool m_httpTool;
  // Not read: the poller holds the callback. It stays so that the exported
  // class keeps its size and layout.
  std::atomic<ResultCallback> m_pResultCallback{nullptr};
  std::unique_ptr<ResultPoller> m_poller;  // last: it uses everything above
};

}  // namespace Face
}  // namespace ZR_Framework

// The entry points with C linkage, for hosts that load the module with dlopen.
#include "TerminalFace_ZR_C.h"

#endif  // TERMINALFACE_ZR_H
