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
  std::unordered_map<std::thread::id, long> lastStatusByThread;
  std::chrono::milliseconds connectTimeout = kDefaultConnectTimeout;
  std::chrono::milliseconds totalTimeout = kDefaultTotalTimeout;

  // A handle for one post, with the time-outs in force: one lock per post to
  // take them, one to give the handle back, so that threads posting at once
  // rarely meet on the mutex.
  struct Lease {
    CurlEasy handle;
    std::chrono::milliseconds connectTimeout;
    std::chrono::milliseconds totalTimeout;
  };

  Lease AcquireHandle() {
    Lease lease;
    {
      std::lock_guard<std::mutex> lock(mutex);
      lease.connectTimeout = connectTimeout;
      lease.totalTimeout = totalTimeout;
      if (!idleHandles.empty()) {
        lease.handle = std::move(idleHandles.back());
        idleHandles.pop_back();
        return lease;
      }
    }
    lease.handle = NewHandle();
    return lease;
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

  // Takes the handle back; `status` is recorded as the calling thread's
  // last one when the post got an answer (0: it did not).
  void ReleaseHandle(CurlEasy handle, long status) {
    std::lock_guard<std::mutex> lock(mutex);
    if (idleHandles.size() < kMaxIdleHandles) idleHandles.push_back(std::move(handle));
    if (status != 0) lastStatusByThread[std::this_thread::get_id()] = status;
  }
};

Terminal_Http_Tool::Terminal_Http_Tool() : m_impl(std::make_unique<Impl>()) {
  InitCurlOnce();
}

Terminal_Http_Tool::~Terminal_Http_Tool() = default;

bool Terminal_Http_Tool::HttpPostRequest(const std::string& url, const std::string& body,
                                         std::string& response, bool bVerbose) {
  response.clear();
  Impl::Lease lease = m_impl->AcquireHandle();
  if (!lease.handle) return false;

  // The options that differ from post to post; the body is sent from where
  // it lies, without a copy.
  ResponseSink sink{&response};
  CURL* curl = lease.handle.get();
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS,
                   static_cast<long>(lease.connectTimeout.count()));
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(lease.totalTimeout.count()));
  curl_easy_setopt(curl, CURLOPT_VERBOSE, bVerbose ? 1L : 0L);

  const CURLcode result = curl_easy_perform(curl);
  const bool answered = result == CURLE_OK && !sink.tooLarge;
  long status = 0;
  if (answered) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  m_impl->ReleaseHandle(std::move(lease.handle), answered ? status : 0);
  if (!answered) {
    response.clear();
    response.shrink_to_fit();
  }
  return answered;
}

std::string Terminal_Http_Tool::GetLastPostStatus() const {
  long status = 0;
  {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    const auto found = m_impl->lastStatusByThread.find(std::this_thread::get_id());
    if (found == m_impl->lastStatusByThread.end()) return {};
    status = found->second;
  }
  return std::to_string(status);
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
