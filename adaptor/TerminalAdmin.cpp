#include "TerminalFace_ZR.h"

namespace ZR_Framework {
namespace Face {

bool TerminalFace_ZR::BindTerminalFace(const std::string&, const int&, const std::string&,
                                       const std::string&, const std::string&, const std::string&) {
  return false;
}
bool TerminalFace_ZR::UnBindTerminalFace(const std::string&) {
  return false;
}
bool TerminalFace_ZR::SetListenPortFace(std::string&, std::string&) {
  return false;
}
bool TerminalFace_ZR::ControlDeviceFace(const std::string&, const std::string&, const std::string&,
                                        const std::string&, const std::string&) {
  return false;
}

}  // namespace Face
}  // namespace ZR_Framework
