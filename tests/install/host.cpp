// A host as an integrator writes one: it includes the installed headers,
// installs its own logger and makes a request.
#include <TerminalFace_ZR/TerminalFace_ZR.h>
#include <TerminalFace_ZR/ToolKits.h>

#include <cstdio>
#include <string>

namespace {
int g_records = 0;
int CountRecords(int, const char*, int, const char*, ...) {
  return ++g_records;
}
}  // namespace

int main() {
  ko_libos_log_debug_ex = CountRecords;
  ZR_Framework::Face::TerminalFace_ZR adaptor;
  adaptor.SetUrl("127.0.0.1");
  // Port 1 on loopback: nothing listens there, so the probe fails and logs once.
  adaptor.SetRequestPort(1);
  ZR_Framework::Face::ParamMap params;
  const bool available = adaptor.GetAvailableFace(params);
  const std::string url = adaptor.GetFullPostUrl("facepad/active");
  std::printf("url=%s available=%d records=%d\n", url.c_str(), available, g_records);
  return url == "http://127.0.0.1:1/facepad/active" && !available && g_records == 1 ? 0 : 1;
}
