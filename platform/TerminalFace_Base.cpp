#include "CLS_TerminalFace_Base.h"

namespace ZR_Framework {
namespace Face {

// The interface holds no state; its constructor exists so that modules built
// against the host's base library link the same way against this one.
CLS_TerminalFace_Base::CLS_TerminalFace_Base() = default;

}  // namespace Face
}  // namespace ZR_Framework
