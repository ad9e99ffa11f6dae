#include "TerminalFace_ZR.h"

#include <cstdio>
#include <cstdlib>

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
}  // namespace

TerminalFace_ZR::TerminalFace_ZR() : TerminalFace_ZR(kPollerTick) {}

TerminalFace_ZR::TerminalFace_ZR(std::chrono::milliseconds pollerTick)
    : m_strUrl(kInitialAddress),
      m_strPort(kInitialPort),
      m_poller(std::make_unique<ResultPoller>(
          *this, PollerTiming{pollerTick * 80, pollerTick * 10, pollerTick * 80})) {}

void TerminalFace_ZR::SetPollerTiming(const PollerTiming& timing) {
  m_poller->SetTiming(timing);
}

TerminalFace_ZR::~TerminalFace_ZR() {
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

std::string TerminalFace_ZR::GetFullPostUrl(const std::string& path) const {
  std::lock_guard<std::mutex> lock(m_settingsMutex);
  std::string url;
  url.reserve(7 + m_strUrl.size() + 1 + m_strPort.size() + 1 + path.size());
  url += "http://";
  url += m_strUrl;
  url += ':';
  url += m_strPort;
  url += '/';
  url += path;
  return url;
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

// The adaptor a C entry point was given, when this module made it; else
// null, with Failure::RefusedValue.
ZR_Framework::Face::TerminalFace_ZR* Ours(ZR_Framework::Face::CLS_TerminalFace_Base* adaptor) {
  auto* ours = dynamic_cast<ZR_Framework::Face::TerminalFace_ZR*>(adaptor);
  if (ours == nullptr) {
    ZR_Framework::Face::SetFailure(ZR_Framework::Face::TerminalFace_ZR::Failure::RefusedValue);
  }
  return ours;
}

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
  delete adaptor;
}

bool SetResultHandlerTerminalFace_ZR(ZR_Framework::Face::CLS_TerminalFace_Base* adaptor,
                                     int (*handler)(ZR_Framework::Face::ResultMap& results,
                                                    void* context),
                                     void* context) {
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
                                        void (*observer)(const TerminalFace_ZR_Exchange* exchange,
                                                         void* context),
                                        void* context) {
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

}  // extern "C"
