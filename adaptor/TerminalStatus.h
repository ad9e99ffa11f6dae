// Reading the facepad service's answer about a terminal's connection.
#ifndef TERMINALFACE_ZR_TERMINAL_STATUS_H
#define TERMINALFACE_ZR_TERMINAL_STATUS_H

#include <string>

namespace ZR_Framework {
namespace Face {

enum class TerminalStatus {
  Connected,     // an entry with a positive "connstatus"
  NotConnected,  // a list without one
  EmptyList,     // the list written "[]"
  Unreadable,    // no list after "Data" and one separator character
};

// Reads a "facepad/getterminalstatus" answer: the status list follows the
// first "Data" (also inside a longer word) and one character of any kind.
// Every entry counts, whatever terminal it names.
TerminalStatus ReadTerminalStatus(const std::string& answer);

}  // namespace Face
}  // namespace ZR_Framework

#endif  // TERMINALFACE_ZR_TERMINAL_STATUS_H
