#include "Request.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "Log.h"
#include "ResultPoller.h"
#include "TerminalFace_ZR.h"

namespace ZR_Framework {
namespace Face {

std::string FormBody(std::initializer_list<FormField> fields) {
  std::size_t size = 0;
  for (const FormField& field : fields) {
    if (field.present) size += std::char_traits<char>::length(field.name) + 2 + field.value.size();
  }
  std::string body;
  body.reserve(size);
  bool first = true;
  for (const FormField& field : fields) {
    if (!field.present) continue;
    if (!first) body += '\t';
    first = false;
    body += field.name;
    body += '=';
    body.append(field.value.data(), field.value.size());
  }
  return body;
}

bool HoldsNul(std::string_view value) {
  return std::memchr(value.data(), '\0', value.size()) != nullptr;
}

bool RefuseField(const char* operation, const char* field) {
  SetFailure(TerminalFace_ZR::Failure::RefusedValue);
  const std::string message = std::string("TerminalFace_ZR::") + operation + " refused: field " +
                              field + " holds a tab or NUL";
  ZR_LOG(message.c_str());  // no '%' in our names: the text is safe as a format
  return false;
}

bool FormValuesFit(const char* operation, std::initializer_list<FormField> fields) {
  for (const FormField& field : fields) {
    if (!field.present) continue;
    // Two memchr passes: each runs at memory speed, even over a photo.
    if (std::memchr(field.value.data(), '\t', field.value.size()) != nullptr ||
        HoldsNul(field.value)) {
      return RefuseField(operation, field.name);
    }
  }
  return true;
}

bool JsonStringsFit(const char* operation, std::initializer_list<FormField> members) {
  for (const FormField& member : members) {
    if (HoldsNul(member.value)) return RefuseField(operation, member.name);
  }
  return true;
}

std::size_t ListAfterWord(const std::string& answer, std::string_view word) {
  const std::size_t found = answer.find(word);
  if (found == std::string::npos) return std::string::npos;
  const std::size_t list = found + word.size() + 1;
  return list < answer.size() ? list : std::string::npos;
}

namespace {
thread_local TerminalFace_ZR::FailureReason t_lastFailure;
}  // namespace

void SetFailure(TerminalFace_ZR::Failure failure, int status) noexcept {
  t_lastFailure = {failure, status};
}

TerminalFace_ZR::FailureReason TerminalFace_ZR::LastFailure() {
  return t_lastFailure;
}

bool NoDocument(int line, const char* text) noexcept {
  SetFailure(TerminalFace_ZR::Failure::NoDocument);
  LogRecord(line, text);
  return false;
}

void LogFailure(const char* operation, bool outOfMemory) noexcept {
  SetFailure(outOfMemory ? TerminalFace_ZR::Failure::OutOfMemory
                         : TerminalFace_ZR::Failure::Exception);
  // Made without allocating: memory may be what ran out.
  char message[128];
  std::snprintf(message, sizeof message, "TerminalFace_ZR::%s failed: %s", operation,
                outOfMemory ? "out of memory" : "an exception was thrown");
  ZR_LOG(message);  // no '%' in our names: the text is safe as a format
}

bool IsAcceptedStatus(const std::string& status) {
  return status == "200";
}

namespace {
TerminalFace_ZR::Failure FailureOf(Terminal_Http_Tool::PostFailure failure) {
  switch (failure) {
    case Terminal_Http_Tool::PostFailure::NotReached:
      return TerminalFace_ZR::Failure::NotReached;
    case Terminal_Http_Tool::PostFailure::TimedOut:
      return TerminalFace_ZR::Failure::TimedOut;
    case Terminal_Http_Tool::PostFailure::NotHttp:
      return TerminalFace_ZR::Failure::NotHttp;
    case Terminal_Http_Tool::PostFailure::None:
    case Terminal_Http_Tool::PostFailure::Broken:
      break;
  }
  return TerminalFace_ZR::Failure::NoAnswer;
}
}  // namespace

bool TerminalFace_ZR::PostRequest(const char* path, const std::string& body, std::string& response,
                                  const char* postFailedText, const char* statusFailedText) {
  std::string url;
  if (!ServiceUrl(path, url)) {
    if (postFailedText != nullptr) ZR_LOG(postFailedText);
    return false;
  }
  const std::shared_ptr<const ExchangeObserver> observer = m_poller->Observer();
  const auto start =
      observer ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point();
  const bool posted = m_httpTool.HttpPostRequest(url, body, response, false);
  const std::string status = posted ? m_httpTool.GetLastPostStatus() : std::string();
  const Failure failure = posted ? Failure::None : FailureOf(m_httpTool.GetLastPostFailure());
  if (observer) Observe(*observer, path, body, posted, status, response, start);
  if (!posted) {
    SetFailure(failure);
    if (postFailedText != nullptr) ZR_LOG(postFailedText);
    return false;
  }
  if (!IsAcceptedStatus(status)) {
    SetFailure(Failure::Status, std::atoi(status.c_str()));
    if (statusFailedText != nullptr) ZR_LOG(statusFailedText);
    return false;
  }
  return true;
}

bool TerminalFace_ZR::PostResultPoll(std::string& answer, const ExchangeObserver* observer) {
  std::string url;
  if (!ServiceUrl("facepad/getresult", url)) return false;
  const auto start = observer != nullptr ? std::chrono::steady_clock::now()
                                         : std::chrono::steady_clock::time_point();
  const bool posted = m_httpTool.HttpPostRequestInterruptible(url, std::string(), answer);
  const std::string status = posted ? m_httpTool.GetLastPostStatus() : std::string();
  if (observer != nullptr)
    Observe(*observer, "facepad/getresult", std::string(), posted, status, answer, start);
  return posted && IsAcceptedStatus(status);
}

void TerminalFace_ZR::Observe(const ExchangeObserver& observer, const char* path,
                              const std::string& body, bool posted, const std::string& status,
                              const std::string& answer,
                              std::chrono::steady_clock::time_point start) {
  Exchange exchange;
  exchange.path = path;
  exchange.body = body;
  exchange.answer = answer;
  exchange.elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - start);
  if (!posted) {
    exchange.failure = FailureOf(m_httpTool.GetLastPostFailure());
  } else {
    exchange.status = std::atoi(status.c_str());
    exchange.failure = IsAcceptedStatus(status) ? Failure::None : Failure::Status;
  }
  // The observer may call the adaptor: the operation's own failure stays.
  const FailureReason failure = LastFailure();
  try {
    observer(exchange);
  } catch (...) {
    // An observer's exception must not change the operation's outcome.
  }
  SetFailure(failure.failure, failure.status);
}

bool TerminalFace_ZR::GetAvailableFace(ParamMap& /*params*/) {
  return Guarded("GetAvailableFace", [&] {
    std::string response;
    return PostRequest("facepad/active", std::string(), response,
                       "TerminalFace_ZR::GetAvailableFaceZorvan Call HttpPostRequest ret false",
                       "TerminalFace_ZR::GetAvailableFaceZorvan Call GetLastPostStatus ret false");
  });
}

}  // namespace Face
}  // namespace ZR_Framework
