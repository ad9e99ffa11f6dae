#include "TerminalFace_ZR.h"

namespace ZR_Framework {
namespace Face {

bool TerminalFace_ZR::AddUser(const std::string&, const std::string&, ParamMap&) {
  return false;
}
bool TerminalFace_ZR::SetUser(const std::string&, const std::string&, ParamMap&) {
  return false;
}
bool TerminalFace_ZR::DelUser(const std::string&, const std::string&, ParamMap&) {
  return false;
}
bool TerminalFace_ZR::SetBiophoto(const std::string&, const std::string&, ParamMap&) {
  return false;
}

}  // namespace Face
}  // namespace ZR_Framework
