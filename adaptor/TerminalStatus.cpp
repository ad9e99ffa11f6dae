#include "TerminalFace_ZR.h"

namespace ZR_Framework {
namespace Face {

bool TerminalFace_ZR::GetTerminalStatusFace(const std::string&) {
  return false;
}
bool TerminalFace_ZR::Active(const std::string&, const std::string&, const std::string&,
                             const std::string&, const std::string&) {
  return false;
}
bool TerminalFace_ZR::ActivationStatus(const std::string&, const std::string&) {
  return false;
}

}  // namespace Face
}  // namespace ZR_Framework
