#include "TerminalFace_ZR.h"

#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>

#include "Log.h"
#include "Request.h"
#include "ResultPoller.h"

namespace ZR_Framework {
namespace Face {

namespace {
// Where a fresh adaptor sends its requests: the service on this machine.
constexpr const char* kInitialAddress = "127.0.0.1";
constexpr const char* kInitialPort = "10003";
// The default timing in ticks: 80, 10 and 80 of them.
constexpr std::chrono::milliseconds kPollerTick{100};
static_assert(kPollerTick * 80 == TerminalFace_ZR::kDefaultPollerTiming.first &&
              kPollerTick * 10 == TerminalFace_ZR::kDefaultPollerTiming.busy &&
              kPollerTick * 80 == TerminalFace_ZR::kDefaultPollerTiming.idle);

// The adaptors alive, as their base, so that a C entry point refuses a
// pointer to anything else (or to one destroyed) before it reads a byte
// of it. Never destroyed: an adaptor may outlive the module's statics.
struct LiveAdaptors {
  std::mutex mutex;
  std::set<const CLS_TerminalFace_Base*> adaptors;
};
LiveAdaptors& Live() {
  static auto* const live = new LiveAdaptors();  // NOLINT(cppcoreguidelines-owning-memory)
  return *live;
}

bool IsLiveAdaptor(const CLS_TerminalFace_Base* adaptor) {
  LiveAdaptors& live = Live();
  std::lock_guard<std::mutex> lock(live.mutex);
  return live.adaptors.count(adaptor) != 0;
}
}  // namespace

TerminalFace_ZR::TerminalFace_ZR() : TerminalFace_ZR(kPollerTick) {}

TerminalFace_ZR::TerminalFace_ZR(std::chrono::milliseconds pollerTick)
    : m_strUrl(kInitialAddress),
      m_strPort(kInitialPort),
      m_poller(std::make_unique<ResultPoller>(
          *this, PollerTiming{pollerTick * 80, pollerTick * 10, pollerTick * 80})) {
  LiveAdaptors& live = Live();
  std::lock_guard<std::mutex> lock(live.mutex);
  live.adaptors.insert(this);
}

void TerminalFace_ZR::SetPollerTiming(const PollerTiming& timing) {
  m_poller->SetTiming(timing);
}

TerminalFace_ZR::~TerminalFace_ZR() {
  {
    LiveAdaptors& live = Live();
    std::lock_guard<std::mutex> lock(live.mutex);
    live.adaptors.erase(this);
  }
  // The poller goes first: it uses the client, the settings and the callback.
  m_poller.reset();
}

bool TerminalFace_ZR::SetUrl(const std::string& url) {
  return Guarded("SetUrl", [&] {
    std::lock_guard<std::mutex> lock(m_settingsMutex);
    m_strUrl = url;
    return true;
  });
}

std::string TerminalFace_ZR::GetUrl() const {
  std::lock_guard<std::mutex> lock(m_settingsMutex);
  return m_strUrl;
}

bool TerminalFace_ZR::SetRequestPort(int port) {
  return Guarded("SetRequestPort", [&] {
    if (static_cast<unsigned>(port) > 65535u) {
      SetFailure(Failure::RefusedValue);
      ZR_LOG("TerminalFace_ZR::SetRequestPortZorvan _iPort<0 || _iPort>65535");
      return false;
    }
    char text[32] = {};
    std::snprintf(text, sizeof text, "%d", port);
    std::lock_guard<std::mutex> lock(m_settingsMutex);
    m_strPort = text;
    return true;
  });
}

int TerminalFace_ZR::GetRequestPort() const {
  std::lock_guard<std::mutex> lock(m_settingsMutex);
  return std::atoi(m_strPort.c_str());
}

namespace {

std::string Composed(const std::string& address, const std::string& port, const std::string& path) {
  std::string url;
  url.reserve(7 + address.size() + 1 + port.size() + 1 + path.size());
  url += "http://";
  url += address;
  url += ':';
  url += port;
  url += '/';
  url += path;
  return url;
}

// One part of a URL as libcurl's parser reads it, or "" when it has none.
std::string UrlPart(CURLU* url, CURLUPart which) {
  char* part = nullptr;
  if (curl_url_get(url, which, &part, 0) != CURLUE_OK) return {};
  const std::unique_ptr<char, decltype(&curl_free)> owned(part, curl_free);
  return part;
}

// True when `url` goes to `address` at `port`: an address holding a '#',
// '?', '/', '@' or a blank would send every request somewhere else.
bool ReachesAddress(const std::string& url, const std::string& address, const std::string& port) {
  const std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> parsed(curl_url(), curl_url_cleanup);
  if (!parsed) throw std::bad_alloc();
  if (curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return false;
  return UrlPart(parsed.get(), CURLUPART_HOST) == address &&
         UrlPart(parsed.get(), CURLUPART_PORT) == port;
}

// The address and port with which this thread last found a composed URL to
// reach them. The check depends on them alone (the paths are the library's
// own), so a thread parses a URL only when they change. Plain bytes, so that
// the module's threads leave nothing to destroy.
struct ReachedAddress {
  char address[256];
  std::size_t addressLength;
  char port[8];
  std::size_t portLength;
  bool known;

  static bool Same(const std::string& text, const char* kept, std::size_t length) {
    return text.size() == length && std::memcmp(text.data(), kept, length) == 0;
  }
  bool Is(const std::string& givenAddress, const std::string& givenPort) const {
    return known && Same(givenAddress, address, addressLength) && Same(givenPort, port, portLength);
  }
  void Keep(const std::string& givenAddress, const std::string& givenPort) {
    known = givenAddress.size() <= sizeof address && givenPort.size() <= sizeof port;
    if (!known) return;
    addressLength = givenAddress.copy(address, sizeof address);
    portLength = givenPort.copy(port, sizeof port);
  }
};
thread_local ReachedAddress t_reached{};

}  // namespace

std::string TerminalFace_ZR::GetFullPostUrl(const std::string& path) const {
  std::lock_guard<std::mutex> lock(m_settingsMutex);
  return Composed(m_strUrl, m_strPort, path);
}

bool TerminalFace_ZR::ServiceUrl(const std::string& path, std::string& url) const {
  std::lock_guard<std::mutex> lock(m_settingsMutex);
  url = Composed(m_strUrl, m_strPort, path);
  if (t_reached.Is(m_strUrl, m_strPort)) return true;
  if (ReachesAddress(url, m_strUrl, m_strPort)) {
    t_reached.Keep(m_strUrl, m_strPort);
    return true;
  }
  SetFailure(Failure::RefusedValue);
  return false;
}

void TerminalFace_ZR::SetHttpTimeouts(std::chrono::milliseconds connect,
                                      std::chrono::milliseconds total) {
  m_httpTool.SetTimeouts(connect, total);
}

bool TerminalFace_ZR::SetInitParamFace(ParamMap& /*params*/) {
  SetFailure(Failure::NotSupported);
  return false;
}

bool TerminalFace_ZR::DelBiophoto(const std::string& /*id*/, const std::string& /*sn*/,
                                  ParamMap& /*photo*/) {
  SetFailure(Failure::NotSupported);
  return false;
}

}  // namespace Face
}  // namespace ZR_Framework

namespace {

// The adaptor a C entry point was given, when it is one of this module's
// alive; else null, with Failure::RefusedValue.
ZR_Framework::Face::TerminalFace_ZR* Ours(ZR_Framework::Face::CLS_TerminalFace_Base* adaptor) {
  if (!ZR_Framework::Face::IsLiveAdaptor(adaptor)) {
    ZR_Framework::Face::SetFailure(ZR_Framework::Face::TerminalFace_ZR::Failure::RefusedValue);
    return nullptr;
  }
  return static_cast<ZR_Framework::Face::TerminalFace_ZR*>(adaptor);
}

using Failure = ZR_Framework::Face::TerminalFace_ZR::Failure;
static_assert(static_cast<int>(Failure::NotReached) == TerminalFace_ZR_NotReached &&
              static_cast<int>(Failure::RefusedValue) == TerminalFace_ZR_RefusedValue &&
              static_cast<int>(Failure::Exception) == TerminalFace_ZR_Exception);

}  // namespace

extern "C" {

ZR_Framework::Face::CLS_TerminalFace_Base* CreateTerminalFace_ZR() {
  try {
    return new ZR_Framework::Face::TerminalFace_ZR();
  } catch (...) {
    return nullptr;
  }
}

void DestroyTerminalFace_ZR(ZR_Framework::Face::CLS_TerminalFace_Base* adaptor) {
  // Like delete, a null adaptor is no error; anything else not alive is
  // left alone.
  if (adaptor != nullptr && Ours(adaptor) != nullptr) delete adaptor;
}

bool SetResultHandlerTerminalFace_ZR(ZR_Framework::Face::CLS_TerminalFace_Base* adaptor,
                                     TerminalFace_ZR_ResultHandler handler, void* context) {
  auto* ours = Ours(adaptor);
  if (ours == nullptr) return false;
  if (handler == nullptr) return ours->SetResultHandler(nullptr);  // refused, and logged
  try {
    return ours->SetResultHandler([handler, context](ZR_Framework::Face::ResultMap& results) {
      return handler(results, context);
    });
  } catch (...) {
    return false;  // the handler could not be wrapped: memory ran out
  }
}

bool SetExchangeObserverTerminalFace_ZR(ZR_Framework::Face::CLS_TerminalFace_Base* adaptor,
                                        TerminalFace_ZR_ExchangeObserver observer, void* context) {
  using ZR_Framework::Face::TerminalFace_ZR;
  auto* ours = Ours(adaptor);
  if (ours == nullptr) return false;
  if (observer == nullptr) return ours->SetExchangeObserver(nullptr);
  try {
    return ours->SetExchangeObserver([observer, context](const TerminalFace_ZR::Exchange& seen) {
      const TerminalFace_ZR_Exchange exchange{
          seen.path.data(),   seen.path.size(),     seen.body.data(),
          seen.body.size(),   seen.status,          seen.answer.data(),
          seen.answer.size(), seen.elapsed.count(), static_cast<int>(seen.failure)};
      observer(&exchange, context);
    });
  } catch (...) {
    return false;  // the observer could not be wrapped: memory ran out
  }
}

bool SetRequestPortTerminalFace_ZR(ZR_Framework::Face::CLS_TerminalFace_Base* adaptor, int port) {
  auto* ours = Ours(adaptor);
  return ours != nullptr && ours->SetRequestPort(port);
}

bool SetPollerTimingTerminalFace_ZR(ZR_Framework::Face::CLS_TerminalFace_Base* adaptor,
                                    long long firstMs, long long busyMs, long long idleMs) {
  using std::chrono::milliseconds;
  auto* ours = Ours(adaptor);
  if (ours == nullptr) return false;
  ours->SetPollerTiming({milliseconds(firstMs), milliseconds(busyMs), milliseconds(idleMs)});
  ZR_Framework::Face::SetFailure(Failure::None);
  return true;
}

bool SetHttpTimeoutsTerminalFace_ZR(ZR_Framework::Face::CLS_TerminalFace_Base* adaptor,
                                    long long connectMs, long long totalMs) {
  auto* ours = Ours(adaptor);
  if (ours == nullptr) return false;
  ours->SetHttpTimeouts(std::chrono::milliseconds(connectMs), std::chrono::milliseconds(totalMs));
  ZR_Framework::Face::SetFailure(Failure::None);
  return true;
}

bool SetUserTerminalFace_ZR(ZR_Framework::Face::CLS_TerminalFace_Base* adaptor,
                            const std::string& id, const std::string& sn,
                            ZR_Framework::Face::ParamMap& person) {
  auto* ours = Ours(adaptor);
  return ours != nullptr && ours->SetUser(id, sn, person);
}

bool ActiveTerminalFace_ZR(ZR_Framework::Face::CLS_TerminalFace_Base* adaptor,
                           const std::string& id, const std::string& sn,
                           const std::string& username, const std::string& password,
                           const std::string& userlevel) {
  auto* ours = Ours(adaptor);
  return ours != nullptr && ours->Active(id, sn, username, password, userlevel);
}

bool ActivationStatusTerminalFace_ZR(ZR_Framework::Face::CLS_TerminalFace_Base* adaptor,
                                     const std::string& id, const std::string& sn) {
  auto* ours = Ours(adaptor);
  return ours != nullptr && ours->ActivationStatus(id, sn);
}

bool StopPollingTerminalFace_ZR(ZR_Framework::Face::CLS_TerminalFace_Base* adaptor,
                                long long boundMs) {
  auto* ours = Ours(adaptor);
  if (ours == nullptr) return false;
  const bool whole = ours->StopPolling(std::chrono::milliseconds(boundMs));
  // Nothing was refused: the failures of the poll it ended are the poller's.
  ZR_Framework::Face::SetFailure(Failure::None);
  return whole;
}

int LastFailureTerminalFace_ZR(int* status) {
  const auto reason = ZR_Framework::Face::TerminalFace_ZR::LastFailure();
  if (status != nullptr) *status = reason.status;
  return static_cast<int>(reason.failure);
}

}  // extern "C"
