#include "TerminalFace_ZR.h"

namespace ZR_Framework {
namespace Face {

bool TerminalFace_ZR::SetResultCallbackFace(ResultCallback) {
  return false;
}
bool TerminalFace_ZR::JsonDataToMapData(const std::string&, ResultMap&) {
  return false;
}

}  // namespace Face
}  // namespace ZR_Framework
