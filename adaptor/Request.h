// The request convention shared by every operation: tab-separated form
// bodies and the success rule for the service's status.
#ifndef TERMINALFACE_ZR_REQUEST_H
#define TERMINALFACE_ZR_REQUEST_H

#include <initializer_list>
#include <new>
#include <string>
#include <string_view>

#include "TerminalFace_ZR.h"

namespace ZR_Framework {
namespace Face {

struct FormField {
  const char* name;  // without the "="
  std::string_view value;
  bool present = true;  // an optional field the host did not give is left out
};

// "name=value" fields joined by single tabs, values copied byte for byte:
// nothing is escaped, quoted or encoded. Made with one allocation.
std::string FormBody(std::initializer_list<FormField> fields);

// Values that would break the body are refused before anything is sent: a
// tab in a form value forges fields, a NUL cuts them at the service, and
// json-c cuts a JSON string at a NUL (it escapes tabs). Each check returns
// true when every value may be sent; otherwise it logs "TerminalFace_ZR::"
// `operation` " refused: field " name " holds a tab or NUL" for the first
// value that may not, and returns false.
bool FormValuesFit(const char* operation, std::initializer_list<FormField> fields);
bool JsonStringsFit(const char* operation, std::initializer_list<FormField> members);
// Logs the refusal of `field` as above; returns false.
bool RefuseField(const char* operation, const char* field);
bool HoldsNul(std::string_view value);

// Where the list in an answer the adaptor reads begins: one character (the
// "=") after the first `word`, such as "result" or "Data". npos when the word
// is missing or the answer ends there.
std::size_t ListAfterWord(const std::string& answer, std::string_view word);

// Records why the operation under way on this thread fails, for
// TerminalFace_ZR::LastFailure().
void SetFailure(TerminalFace_ZR::Failure failure, int status = 0) noexcept;

// A JSON document could not be made (memory ran out): records that as the
// operation's failure, logs `text` from `line`, and returns false. Called as
// ZR_NO_DOCUMENT(text), so that the record carries the caller's line.
bool NoDocument(int line, const char* text) noexcept;
#define ZR_NO_DOCUMENT(text) ::ZR_Framework::Face::NoDocument(__LINE__, (text))

// Logs an exception that ended `operation`, and records it as its failure:
// OutOfMemory, or Exception for any other.
void LogFailure(const char* operation, bool outOfMemory) noexcept;

// Runs the body of the operation named `operation`, and keeps its failure (or
// none) for LastFailure(). An exception from within never reaches the host:
// it ends the operation with false and the record "TerminalFace_ZR::"
// `operation` " failed: out of memory" (a string or map that could not grow)
// or " failed: an exception was thrown" (any other).
template <typename Body>
bool Guarded(const char* operation, Body body) {
  SetFailure(TerminalFace_ZR::Failure::None);
  try {
    const bool done = body();
    // An operation that succeeds has no failure, even if one it made on the
    // way (a bind's activation) had.
    if (done) SetFailure(TerminalFace_ZR::Failure::None);
    return done;
  } catch (const std::bad_alloc&) {
    LogFailure(operation, true);
    return false;
  } catch (...) {
    LogFailure(operation, false);
    return false;
  }
}

// A request succeeded only when the status text is exactly "200".
bool IsAcceptedStatus(const std::string& status);

}  // namespace Face
}  // namespace ZR_Framework

#endif  // TERMINALFACE_ZR_REQUEST_H
