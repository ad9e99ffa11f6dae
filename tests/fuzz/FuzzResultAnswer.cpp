// One answer of "facepad/getresult" as the poller handles it: framed, parsed
// and merged into the results waiting for the host, which persist from one
// input to the next.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "ResultPoller.h"
#include "TerminalFace_ZR.h"
#include "ToolKits.h"

namespace {

// An adaptor whose poller never polls while the fuzzer runs.
class QuietAdaptor : public ZR_Framework::Face::TerminalFace_ZR {
 public:
  QuietAdaptor() : TerminalFace_ZR(std::chrono::hours(1)) {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static QuietAdaptor adaptor;
  static ZR_Framework::Face::ResultMap pending;
  ko_libos_log_debug_ex = nullptr;

  const std::string answer(reinterpret_cast<const char*>(data), size);
  std::string list;
  if (ZR_Framework::Face::FrameResultAnswer(answer, list) ==
      ZR_Framework::Face::ResultFrame::List) {
    ZR_Framework::Face::ResultMap fresh;
    const bool stored = adaptor.JsonDataToMapData(list, fresh);
    if (stored && fresh.empty()) __builtin_trap();
    ZR_Framework::Face::MergeResults(fresh, pending);
  }
  if (pending.size() > 10000) pending.clear();  // as a delivery would
  return 0;
}
