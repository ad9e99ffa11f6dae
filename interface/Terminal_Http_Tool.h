// The HTTP client through which the adaptor reaches the facepad service.
//
// One call, one POST. Connections are kept alive and reused across calls.
// The client may be used from several threads at once: concurrent posts run
// in parallel, and GetLastPostStatus() reports the status of the post last
// made by the calling thread, so a post and the status read that follows it
// stay paired without a lock held across the network call.
#ifndef TERMINAL_HTTP_TOOL_H
#define TERMINAL_HTTP_TOOL_H

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "ZR_Export.h"

namespace ZR_Framework {

class ZR_API Terminal_Http_Tool {
 public:
  static constexpr std::chrono::milliseconds kDefaultConnectTimeout{5000};
  static constexpr std::chrono::milliseconds kDefaultTotalTimeout{30000};
  // A larger answer fails the post instead of exhausting memory.
  static constexpr std::size_t kMaxResponseBytes = std::size_t{64} * 1024 * 1024;

  Terminal_Http_Tool();
  ~Terminal_Http_Tool();
  Terminal_Http_Tool(const Terminal_Http_Tool&) = delete;
  Terminal_Http_Tool& operator=(const Terminal_Http_Tool&) = delete;

  // Posts `body` (sent as "text/plain", unchanged) to the full URL `url` and
  // replaces `response` with the answer's body. True when an HTTP answer was
  // received, whatever its status; GetLastPostStatus() then reports the
  // status. False when the request could not be carried out (no connection,
  // time-out, answer too large); `response` is then empty.
  //
  // `bVerbose` selects a trace of the exchange (curl's verbose output) on
  // stderr, for diagnosis; it does not change what is sent.
  bool HttpPostRequest(const std::string& url, const std::string& body, std::string& response,
                       bool bVerbose);

  // The HTTP status code of the calling thread's last post on this client, as
  // decimal text; "" when that post got no answer, or when the thread has
  // made none. (A thread remembers its last post on up to four clients; a
  // fifth takes the place of the one it first posted through longest ago.)
  std::string GetLastPostStatus() const;

  // Why the calling thread's last post on this client got no answer.
  enum class PostFailure {
    None,        // it got one (or the thread has made none)
    NotReached,  // no connection could be made (nothing listening, no such host)
    TimedOut,    // the time-out ran out
    Broken,      // the connection failed mid-way, the answer was too large, or the post was
                 // interrupted
    NotHttp,     // a connection was made and the answer was not HTTP
  };
  PostFailure GetLastPostFailure() const;

  // Time-outs for later posts: to establish a connection, and for the whole
  // request. A hung service never holds a caller longer than `total`. Each is
  // clamped to kShortestTimeout – kLongestTimeout: libcurl reads zero as no
  // limit at all, and takes its limits in a narrower type than ours.
  static constexpr std::chrono::milliseconds kShortestTimeout{1};
  static constexpr std::chrono::milliseconds kLongestTimeout{std::chrono::hours(24)};
  void SetTimeouts(std::chrono::milliseconds connect, std::chrono::milliseconds total);

  // A post that InterruptPosts() can end at once, for a caller that must stop
  // promptly whatever the service does (the adaptor's result poller). As
  // HttpPostRequest otherwise, without the trace; such posts run one at a
  // time, on connections of their own.
  bool HttpPostRequestInterruptible(const std::string& url, const std::string& body,
                                    std::string& response);

  // Ends the interruptible post in flight, if any, at once (it returns false),
  // and makes every later one fail without being sent. Safe from any thread;
  // cannot be undone. Posts made with HttpPostRequest are not affected.
  void InterruptPosts();

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace ZR_Framework

#endif  // TERMINAL_HTTP_TOOL_H
