#include "Terminal_Http_Tool.h"

#include <curl/curl.h>

#include <algorithm>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace ZR_Framework {
namespace {

struct CurlEasyCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyCleanup>;

struct CurlListFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlList = std::unique_ptr<curl_slist, CurlListFree>;

// Idle handles kept for reuse; each holds its own open connections.
constexpr std::size_t kMaxIdleHandles = 8;

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Where curl writes an answer's body; refuses to grow it past the limit.
struct ResponseSink {
  std::string* body;
  bool tooLarge = false;
};

size_t AppendToSink(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<ResponseSink*>(user);
  const size_t bytes = size * count;
  if (sink->body->size() + bytes > Terminal_Http_Tool::kMaxResponseBytes) {
    sink->tooLarge = true;
    return 0;  // anything but `bytes` aborts the transfer
  }
  try {
    sink->body->append(data, bytes);
  } catch (...) {
    return 0;
  }
  return bytes;
}

CurlList MakeRequestHeaders() {
  curl_slist* list = nullptr;
  // The body is tab-separated text, not a URL-encoded form.
  for (const char* header : {"Content-Type: text/plain", "Expect:"}) {
    curl_slist* extended = curl_slist_append(list, header);
    if (extended == nullptr) break;
    list = extended;
  }
  return CurlList(list);
}

}  // namespace

struct Terminal_Http_Tool::Impl {
  const CurlList headers = MakeRequestHeaders();  // read-only; outlives the handles
  std::mutex mutex;                               // guards everything below
  std::vector<CurlEasy> idleHandles;
  std::unordered_map<std::thread::id, std::string> lastStatusByThread;
  std::chrono::milliseconds connectTimeout = kDefaultConnectTimeout;
  std::chrono::milliseconds totalTimeout = kDefaultTotalTimeout;

  CurlEasy AcquireHandle() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (!idleHandles.empty()) {
        CurlEasy handle = std::move(idleHandles.back());
        idleHandles.pop_back();
        return handle;
      }
    }
    return NewHandle();
  }

  // A handle with the options every post shares, set once for its lifetime.
  CurlEasy NewHandle() const {
    CurlEasy handle(curl_easy_init());
    CURL* curl = handle.get();
    if (curl == nullptr) return handle;
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, AppendToSink);
    curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxResponseBytes));
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);  // never raise signals in the host
    curl_easy_setopt(curl, CURLOPT_PROXY, "");     // the service is local: ignore proxy settings
    return handle;
  }

  void ReleaseHandle(CurlEasy handle) {
    std::lock_guard<std::mutex> lock(mutex);
    if (idleHandles.size() < kMaxIdleHandles) idleHandles.push_back(std::move(handle));
  }
};

Terminal_Http_Tool::Terminal_Http_Tool() : m_impl(std::make_unique<Impl>()) {
  InitCurlOnce();
}

Terminal_Http_Tool::~Terminal_Http_Tool() = default;

bool Terminal_Http_Tool::HttpPostRequest(const std::string& url, const std::string& body,
                                         std::string& response, bool bVerbose) {
  response.clear();
  CurlEasy handle = m_impl->AcquireHandle();
  if (!handle) return false;

  std::chrono::milliseconds connectTimeout;
  std::chrono::milliseconds totalTimeout;
  {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    connectTimeout = m_impl->connectTimeout;
    totalTimeout = m_impl->totalTimeout;
  }

  // The options that differ from post to post; the body is sent from where
  // it lies, without a copy.
  ResponseSink sink{&response};
  CURL* curl = handle.get();
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connectTimeout.count()));
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(totalTimeout.count()));
  curl_easy_setopt(curl, CURLOPT_VERBOSE, bVerbose ? 1L : 0L);

  const CURLcode result = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  m_impl->ReleaseHandle(std::move(handle));

  if (result != CURLE_OK || sink.tooLarge) {
    response.clear();
    response.shrink_to_fit();
    return false;
  }
  std::lock_guard<std::mutex> lock(m_impl->mutex);
  m_impl->lastStatusByThread[std::this_thread::get_id()] = std::to_string(status);
  return true;
}

std::string Terminal_Http_Tool::GetLastPostStatus() const {
  std::lock_guard<std::mutex> lock(m_impl->mutex);
  const auto found = m_impl->lastStatusByThread.find(std::this_thread::get_id());
  return found != m_impl->lastStatusByThread.end() ? found->second : std::string();
}

void Terminal_Http_Tool::SetTimeouts(std::chrono::milliseconds connect,
                                     std::chrono::milliseconds total) {
  // curl reads zero as "no limit"; a limit is always kept.
  constexpr std::chrono::milliseconds kShortest{1};
  std::lock_guard<std::mutex> lock(m_impl->mutex);
  m_impl->connectTimeout = std::max(connect, kShortest);
  m_impl->totalTimeout = std::max(total, kShortest);
}

}  // namespace ZR_Framework
