#include "JsonDocument.h"
#include "Log.h"
#include "Request.h"
#include "ResultPoller.h"
#include "TerminalFace_ZR.h"
#include "ToolKits.h"

namespace ZR_Framework {
namespace Face {

// Both registrations end in the poller's one handler, so that each replaces
// the other.
bool TerminalFace_ZR::SetResultCallbackFace(ResultCallback callback) {
  return Guarded("SetResultCallbackFace", [&] {
    if (callback == nullptr) {
      SetFailure(Failure::RefusedValue);
      ZR_LOG("TerminalFace_ZR::SetResultCallbackFaceZorvan _pResultCallback == nullptr");
      return false;
    }
    auto handler = std::make_shared<const ResultHandler>(callback);
    m_poller->SetHandler(std::move(handler));  // last: the handler may destroy this adaptor
    return true;
  });
}

bool TerminalFace_ZR::SetResultHandler(ResultHandler handler) {
  return Guarded("SetResultHandler", [&] {
    if (!handler) {
      SetFailure(Failure::RefusedValue);
      ZR_LOG("TerminalFace_ZR::SetResultHandler refused: the handler is empty");
      return false;
    }
    auto shared = std::make_shared<const ResultHandler>(std::move(handler));
    m_poller->SetHandler(std::move(shared));  // last: the handler may destroy this adaptor
    return true;
  });
}

bool TerminalFace_ZR::SetExchangeObserver(ExchangeObserver observer) {
  return Guarded("SetExchangeObserver", [&] {
    m_poller->SetObserver(observer ? std::make_shared<const ExchangeObserver>(std::move(observer))
                                   : nullptr);
    return true;
  });
}

bool TerminalFace_ZR::StopPolling(std::chrono::milliseconds bound) {
  return m_poller->Stop(bound);
}

// The service's answers are not trusted: a document or entry list that is no
// array counts as an empty one, and elements or entries that are no objects
// are skipped.
// NOLINTNEXTLINE(readability-convert-member-functions-to-static): the host calls it on an adaptor
bool TerminalFace_ZR::JsonDataToMapData(const std::string& json, ResultMap& results) {
  return Guarded("JsonDataToMapData", [&] {
    const JsonDocument document(json_tokener_parse(json.c_str()));
    if (!document) {
      SetFailure(Failure::UnreadableAnswer);
      ZR_LOG("TerminalFace_ZR::JsonDataToMapData jsonDataSn == nullptr");
      return false;
    }
    // Parsed apart first, so that elements with the same serial number add up
    // and only then replace what `results` held.
    ResultMap parsed;
    bool stored = false;
    const std::size_t elementCount = ArrayLength(document.get());
    for (std::size_t i = 0; i < elementCount; ++i) {
      json_object* element = json_object_array_get_idx(document.get(), i);
      if (!json_object_is_type(element, json_type_object)) continue;
      const std::string sn = json_object_get_field_string(element, "SN");
      const std::string data = json_object_get_field_string(element, "data");
      if (data.empty()) continue;

      const JsonDocument entries(json_tokener_parse(data.c_str()));
      if (!entries) {
        ZR_LOG("TerminalFace_ZR::JsonDataToMapData jsonDataRet == nullptr");
        continue;
      }
      ParamMap& outcomes = parsed[sn];  // an empty list still names the serial number
      const std::size_t entryCount = ArrayLength(entries.get());
      for (std::size_t j = 0; j < entryCount; ++j) {
        json_object* entry = json_object_array_get_idx(entries.get(), j);
        if (!json_object_is_type(entry, json_type_object)) continue;
        outcomes[json_object_get_field_string(entry, "id")] =
            json_object_get_field_string(entry, "return");
        stored = true;
      }
    }
    ReplaceSerialNumbers(parsed, results);
    return stored;
  });
}

}  // namespace Face
}  // namespace ZR_Framework
