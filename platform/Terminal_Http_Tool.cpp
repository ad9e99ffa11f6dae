#include "Terminal_Http_Tool.h"

#include <curl/curl.h>
#include <poll.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
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

struct CurlMultiCleanup {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
using CurlMulti = std::unique_ptr<CURLM, CurlMultiCleanup>;

// Idle handles kept for reuse; each holds its own open connections.
constexpr std::size_t kMaxIdleHandles = 8;

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Below this size an answer of unknown length grows by doubling; past it,
// straight to the limit.
constexpr std::size_t kSmallAnswerBytes = std::size_t{1} << 20;

// Where curl writes an answer's body. It refuses to grow the body past the
// limit, and grows it so that even an answer at the limit costs about the
// limit: to the announced length at once when there is one; otherwise by
// doubling while small, then to the limit in one step, whose pages cost
// memory only as they are written. (Doubling all the way would hold the old
// and the new buffer at once: 1.5 times the limit.)
struct ResponseSink {
  std::string* body;
  CURL* handle;
};

std::size_t CapacityFor(const ResponseSink& sink, std::size_t needed) {
  curl_off_t announced = -1;
  if (sink.body->empty() &&
      curl_easy_getinfo(sink.handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) == CURLE_OK &&
      announced >= static_cast<curl_off_t>(needed) &&
      announced <= static_cast<curl_off_t>(Terminal_Http_Tool::kMaxResponseBytes)) {
    return static_cast<std::size_t>(announced);
  }
  if (needed > kSmallAnswerBytes) return Terminal_Http_Tool::kMaxResponseBytes;
  return std::max(needed, 2 * sink.body->capacity());
}

size_t AppendToSink(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<ResponseSink*>(user);
  const size_t bytes = size * count;
  const size_t needed = sink->body->size() + bytes;
  if (needed > Terminal_Http_Tool::kMaxResponseBytes) {
    return 0;  // anything but `bytes` aborts the transfer
  }
  try {
    if (needed > sink->body->capacity()) sink->body->reserve(CapacityFor(*sink, needed));
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

// What a post needs besides its handle, read under the client's lock.
struct Timeouts {
  std::chrono::milliseconds connect;
  std::chrono::milliseconds total;
};

// The options that differ from post to post. The body is sent from where it
// lies, without a copy.
void SetPostOptions(CURL* curl, const std::string& url, const std::string& body, ResponseSink& sink,
                    Timeouts timeouts, bool verbose) {
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeouts.connect.count()));
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeouts.total.count()));
  curl_easy_setopt(curl, CURLOPT_VERBOSE, verbose ? 1L : 0L);
}

using PostFailure = Terminal_Http_Tool::PostFailure;

// What came of a post: the answer's HTTP status, or 0 and why there was none.
struct Outcome {
  long status = 0;
  PostFailure failure = PostFailure::Broken;
};

PostFailure FailureOf(CURLcode result) {
  switch (result) {
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_URL_MALFORMAT:
      return PostFailure::NotReached;
    // The URL is always http: libcurl reports an answer without a status
    // line (HTTP/0.9, which it does not accept) as an unsupported protocol.
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_WEIRD_SERVER_REPLY:
      return PostFailure::NotHttp;
    case CURLE_OPERATION_TIMEDOUT:
      return PostFailure::TimedOut;
    default:
      return PostFailure::Broken;
  }
}

// The outcome of a transfer. Without an answer that counts, `response` is
// emptied and its memory released.
Outcome OutcomeOf(CURL* curl, CURLcode result, std::string& response) {
  Outcome outcome;
  // An answer too large was aborted by the sink: curl reports a write error.
  if (result == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &outcome.status);
  if (outcome.status == 0) {
    outcome.failure = FailureOf(result);
    // Timed out before a byte of the request was sent (a connection never
    // made): the request cannot have arrived.
    long sent = 0;
    if (outcome.failure == PostFailure::TimedOut &&
        curl_easy_getinfo(curl, CURLINFO_REQUEST_SIZE, &sent) == CURLE_OK && sent == 0) {
      outcome.failure = PostFailure::NotReached;
    }
    response.clear();
    response.shrink_to_fit();
  } else {
    outcome.failure = PostFailure::None;
    if (response.capacity() > kSmallAnswerBytes && response.capacity() > 2 * response.size()) {
      response.shrink_to_fit();  // an answer of unknown length was given room up to the limit
    }
  }
  return outcome;
}

// A kept-alive connection waiting for its next request has nothing to read.
// When it has, the service sent an answer nobody asked for (or closed it):
// the next request must not take that answer for its own.
bool HasUnsolicitedInput(CURL* curl) {
  curl_socket_t socket = CURL_SOCKET_BAD;
  if (curl_easy_getinfo(curl, CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK ||
      socket == CURL_SOCKET_BAD) {
    return false;
  }
  pollfd waiting{socket, POLLIN, 0};
  return poll(&waiting, 1, 0) > 0;
}

// The outcome of each thread's last post, per client, in a few slots per
// thread: a thread rarely posts through more than a couple of clients, and
// the slots go with the thread, so nothing grows with threads that have come
// and gone. Clients are told apart by an id that is never reused.
struct OutcomeSlot {
  std::uint64_t client = 0;
  Outcome outcome;
};
constexpr std::size_t kOutcomeSlots = 4;
thread_local std::array<OutcomeSlot, kOutcomeSlots> t_outcomes{};
thread_local std::size_t t_oldestSlot = 0;

void RecordOutcome(std::uint64_t client, Outcome outcome) {
  for (OutcomeSlot& slot : t_outcomes) {
    if (slot.client == client) {
      slot.outcome = outcome;
      return;
    }
  }
  t_outcomes[t_oldestSlot] = {client, outcome};
  t_oldestSlot = (t_oldestSlot + 1) % kOutcomeSlots;
}

// The calling thread's last outcome on `client`; no status and no failure
// when it has made no post there.
Outcome LastOutcome(std::uint64_t client) {
  for (const OutcomeSlot& slot : t_outcomes) {
    if (slot.client == client) return slot.outcome;
  }
  return {0, PostFailure::None};
}

std::uint64_t NewClientId() {
  static std::atomic<std::uint64_t> next{1};
  return next.fetch_add(1);
}

// How long an interruptible post sleeps at most before it looks again; curl's
// own time-outs and InterruptPosts() wake it sooner.
constexpr int kLongestSleepMs = 1000;

}  // namespace

struct Terminal_Http_Tool::Impl {
  const bool curlReady = (InitCurlOnce(), true);  // first: before any handle is made
  const CurlList headers = MakeRequestHeaders();  // read-only; outlives the handles
  const std::uint64_t id = NewClientId();
  std::mutex mutex;  // guards the next three
  std::vector<CurlEasy> idleHandles;
  std::chrono::milliseconds connectTimeout = kDefaultConnectTimeout;
  std::chrono::milliseconds totalTimeout = kDefaultTotalTimeout;

  // Interruptible posts run one at a time, through a multi handle whose wait
  // InterruptPosts() can wake, with a handle of their own. The multi handle
  // keeps their connections, and is declared after the handle so that it is
  // cleaned up first.
  std::mutex interruptibleMutex;  // held for a whole interruptible post
  CurlEasy interruptibleHandle;   // guarded by interruptibleMutex
  const CurlMulti multi{curl_multi_init()};
  std::atomic<bool> interrupted{false};

  // A handle for one post, with the time-outs in force: one lock per post to
  // take them, one to give the handle back, so that threads posting at once
  // rarely meet on the mutex.
  struct Lease {
    CurlEasy handle;
    Timeouts timeouts;
  };

  Lease AcquireHandle() {
    Lease lease;
    {
      std::lock_guard<std::mutex> lock(mutex);
      lease.timeouts = {connectTimeout, totalTimeout};
      if (!idleHandles.empty()) {
        lease.handle = std::move(idleHandles.back());
        idleHandles.pop_back();
      }
    }
    // The handle goes, with its connections, when it cannot be trusted.
    if (!lease.handle || HasUnsolicitedInput(lease.handle.get())) lease.handle = NewHandle();
    return lease;
  }

  Timeouts CurrentTimeouts() {
    std::lock_guard<std::mutex> lock(mutex);
    return {connectTimeout, totalTimeout};
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

  // A connection refused, never made, or closed unanswered is what a
  // service at its limit of connections does: the idle ones kept alive are
  // closed, so that they hold none of its places while the next posts wait
  // for one.
  void AfterOutcome(const Outcome& outcome) {
    if (outcome.status != 0) return;
    if (outcome.failure != PostFailure::Broken && outcome.failure != PostFailure::NotReached) {
      return;
    }
    std::vector<CurlEasy> closing;
    {
      std::lock_guard<std::mutex> lock(mutex);
      closing.swap(idleHandles);
    }
  }

  // Runs the transfer of `curl` on the multi handle until it ends or
  // InterruptPosts() is called. Called with interruptibleMutex held.
  CURLcode PerformInterruptible(CURL* curl) {
    CURLM* waiter = multi.get();
    if (curl_multi_add_handle(waiter, curl) != CURLM_OK) return CURLE_FAILED_INIT;
    CURLcode result = CURLE_ABORTED_BY_CALLBACK;  // unless the transfer ends first
    while (!interrupted.load()) {
      int running = 0;
      if (curl_multi_perform(waiter, &running) != CURLM_OK) {
        result = CURLE_FAILED_INIT;
        break;
      }
      if (running == 0) {
        int queued = 0;
        const CURLMsg* message = curl_multi_info_read(waiter, &queued);
        result = message != nullptr && message->msg == CURLMSG_DONE ? message->data.result
                                                                    : CURLE_FAILED_INIT;
        break;
      }
      if (curl_multi_poll(waiter, nullptr, 0, kLongestSleepMs, nullptr) != CURLM_OK) {
        result = CURLE_FAILED_INIT;
        break;
      }
    }
    // An unfinished transfer's connection is closed here.
    curl_multi_remove_handle(waiter, curl);
    return result;
  }
};

Terminal_Http_Tool::Terminal_Http_Tool() : m_impl(std::make_unique<Impl>()) {}

Terminal_Http_Tool::~Terminal_Http_Tool() = default;

bool Terminal_Http_Tool::HttpPostRequest(const std::string& url, const std::string& body,
                                         std::string& response, bool bVerbose) {
  response.clear();
  Impl::Lease lease = m_impl->AcquireHandle();
  if (!lease.handle) {
    RecordOutcome(m_impl->id, {});
    return false;
  }
  CURL* curl = lease.handle.get();
  ResponseSink sink{&response, curl};
  SetPostOptions(curl, url, body, sink, lease.timeouts, bVerbose);
  const Outcome outcome = OutcomeOf(curl, curl_easy_perform(curl), response);
  m_impl->AfterOutcome(outcome);
  m_impl->ReleaseHandle(std::move(lease.handle));
  RecordOutcome(m_impl->id, outcome);
  return outcome.status != 0;
}

bool Terminal_Http_Tool::HttpPostRequestInterruptible(const std::string& url,
                                                      const std::string& body,
                                                      std::string& response) {
  response.clear();
  std::lock_guard<std::mutex> oneAtATime(m_impl->interruptibleMutex);
  RecordOutcome(m_impl->id, {});  // until the post has one
  if (m_impl->interrupted.load() || !m_impl->multi) return false;
  if (!m_impl->interruptibleHandle) {
    m_impl->interruptibleHandle = m_impl->NewHandle();
    // An interrupted post does not wait for a name lookup still under way.
    if (m_impl->interruptibleHandle) {
      curl_easy_setopt(m_impl->interruptibleHandle.get(), CURLOPT_QUICK_EXIT, 1L);
    }
  }
  CURL* curl = m_impl->interruptibleHandle.get();
  if (curl == nullptr) return false;
  ResponseSink sink{&response, curl};
  SetPostOptions(curl, url, body, sink, m_impl->CurrentTimeouts(), false);
  const Outcome outcome = OutcomeOf(curl, m_impl->PerformInterruptible(curl), response);
  m_impl->AfterOutcome(outcome);
  RecordOutcome(m_impl->id, outcome);
  return outcome.status != 0;
}

void Terminal_Http_Tool::InterruptPosts() {
  m_impl->interrupted.store(true);
  // Wakes a post asleep in curl_multi_poll, or the next one to sleep there.
  if (m_impl->multi) curl_multi_wakeup(m_impl->multi.get());
}

std::string Terminal_Http_Tool::GetLastPostStatus() const {
  const long status = LastOutcome(m_impl->id).status;
  return status != 0 ? std::to_string(status) : std::string();
}

Terminal_Http_Tool::PostFailure Terminal_Http_Tool::GetLastPostFailure() const {
  return LastOutcome(m_impl->id).failure;
}

void Terminal_Http_Tool::SetTimeouts(std::chrono::milliseconds connect,
                                     std::chrono::milliseconds total) {
  std::lock_guard<std::mutex> lock(m_impl->mutex);
  m_impl->connectTimeout = std::clamp(connect, kShortestTimeout, kLongestTimeout);
  m_impl->totalTimeout = std::clamp(total, kShortestTimeout, kLongestTimeout);
}

}  // namespace ZR_Framework
