#include "Request.h"

#include "Log.h"
#include "TerminalFace_ZR.h"

namespace ZR_Framework {
namespace Face {

std::string FormBody(std::initializer_list<FormField> fields) {
  std::size_t size = 0;
  for (const FormField& field : fields) {
    size += std::char_traits<char>::length(field.name) + 2 + field.value.size();
  }
  std::string body;
  body.reserve(size);
  bool first = true;
  for (const FormField& field : fields) {
    if (!first) body += '\t';
    first = false;
    body += field.name;
    body += '=';
    body.append(field.value.data(), field.value.size());
  }
  return body;
}

bool IsAcceptedStatus(const std::string& status) {
  return status == "200";
}

bool TerminalFace_ZR::PostRequest(const char* path, const std::string& body, std::string& response,
                                  const char* postFailedText, const char* statusFailedText) {
  const std::string url = GetFullPostUrl(path);
  if (!m_httpTool.HttpPostRequest(url, body, response, false)) {
    if (postFailedText != nullptr) ZR_LOG(postFailedText);
    return false;
  }
  if (!IsAcceptedStatus(m_httpTool.GetLastPostStatus())) {
    if (statusFailedText != nullptr) ZR_LOG(statusFailedText);
    return false;
  }
  return true;
}

bool TerminalFace_ZR::GetAvailableFace(ParamMap& /*params*/) {
  std::string response;
  return PostRequest("facepad/active", std::string(), response,
                     "TerminalFace_ZR::GetAvailableFaceZorvan Call HttpPostRequest ret false",
                     "TerminalFace_ZR::GetAvailableFaceZorvan Call GetLastPostStatus ret false");
}

}  // namespace Face
}  // namespace ZR_Framework
