// The module's entry points with C linkage, for a host that loads it with
// dlopen and finds them with dlsym: each function, and the pointer type its
// symbol is cast to. Such a host drives the adaptor through the base
// interface and these functions; it needs nothing of the module's own class.
//
// Every function that takes an adaptor returns false, with the failure
// TerminalFace_ZR_RefusedValue and nothing logged, when the adaptor is null
// or not one of this module's alive (an object of another kind, or one
// destroyed, unless a new one has taken its address): it is refused before
// it is read. DestroyTerminalFace_ZR leaves such a pointer alone. Success
// sets TerminalFace_ZR_None.
#ifndef TERMINALFACE_ZR_C_H
#define TERMINALFACE_ZR_C_H

#include <cstddef>
#include <string>

#include "CLS_TerminalFace_Base.h"
#include "ZR_Export.h"

extern "C" {

// Why the last operation on the calling thread returned false, as
// LastFailureTerminalFace_ZR tells it (TerminalFace_ZR::Failure's numbers).
enum TerminalFace_ZR_Failure {
  TerminalFace_ZR_None = 0,      // it succeeded, or no operation has ended on this thread
  TerminalFace_ZR_NotReached,    // no connection to the service could be made
  TerminalFace_ZR_TimedOut,      // the service did not answer within the time-out
  TerminalFace_ZR_NoAnswer,      // the connection failed mid-way, or the answer was too large
  TerminalFace_ZR_Status,        // the service answered with a status other than 200
  TerminalFace_ZR_RefusedValue,  // a value was refused (a port out of range, a bad address, ...)
  TerminalFace_ZR_NoDocument,    // a JSON document could not be made; nothing was sent
  TerminalFace_ZR_OutOfMemory,   // memory ran out
  TerminalFace_ZR_NotConnected,  // GetTerminalStatusFace: the terminal is not connected
  TerminalFace_ZR_UnreadableAnswer,  // GetTerminalStatusFace: the answer had no readable list
  TerminalFace_ZR_NotSupported,      // DelBiophoto and SetInitParamFace, which do nothing
  TerminalFace_ZR_NotHttp,           // a connection was made and the answer was not HTTP
  TerminalFace_ZR_Exception,         // an exception other than running out of memory
};

// An exchange as SetExchangeObserverTerminalFace_ZR's observer sees it: the
// texts are not NUL-terminated, and valid only during the call.
struct TerminalFace_ZR_Exchange {
  const char* path;
  std::size_t pathLength;
  const char* body;  // as sent
  std::size_t bodyLength;
  int status;  // the HTTP status; 0 when no answer came
  const char* answer;
  std::size_t answerLength;
  long long elapsedMicroseconds;
  int failure;  // a TerminalFace_ZR_Failure; 0 (None) when the status was 200
};

typedef int (*TerminalFace_ZR_ResultHandler)(ZR_Framework::Face::ResultMap& results, void* context);
typedef void (*TerminalFace_ZR_ExchangeObserver)(const TerminalFace_ZR_Exchange* exchange,
                                                 void* context);

// A new adaptor, its poller started; null instead of an exception when it
// cannot be made.
ZR_API ZR_Framework::Face::CLS_TerminalFace_Base* CreateTerminalFace_ZR();
typedef ZR_Framework::Face::CLS_TerminalFace_Base* (*CreateTerminalFace_ZR_Function)();

// Destroys an adaptor CreateTerminalFace_ZR made; null is no error.
ZR_API void DestroyTerminalFace_ZR(ZR_Framework::Face::CLS_TerminalFace_Base* adaptor);
typedef void (*DestroyTerminalFace_ZR_Function)(ZR_Framework::Face::CLS_TerminalFace_Base*);

// Registers `handler`, called on the poller's thread with the results and
// `context` as given; it replaces any callback or handler registered before.
// A null handler is refused (false, TerminalFace_ZR_RefusedValue).
ZR_API bool SetResultHandlerTerminalFace_ZR(ZR_Framework::Face::CLS_TerminalFace_Base* adaptor,
                                            TerminalFace_ZR_ResultHandler handler, void* context);
typedef bool (*SetResultHandlerTerminalFace_ZR_Function)(ZR_Framework::Face::CLS_TerminalFace_Base*,
                                                         TerminalFace_ZR_ResultHandler, void*);

// Calls `observer` after every POST, with the exchange and `context` as
// given, on the thread that made it; a null observer clears it.
ZR_API bool SetExchangeObserverTerminalFace_ZR(ZR_Framework::Face::CLS_TerminalFace_Base* adaptor,
                                               TerminalFace_ZR_ExchangeObserver observer,
                                               void* context);
typedef bool (*SetExchangeObserverTerminalFace_ZR_Function)(
    ZR_Framework::Face::CLS_TerminalFace_Base*, TerminalFace_ZR_ExchangeObserver, void*);

// The service's port (10003 until set): 0 to 65535; any other is refused
// (false, TerminalFace_ZR_RefusedValue, and its log record).
ZR_API bool SetRequestPortTerminalFace_ZR(ZR_Framework::Face::CLS_TerminalFace_Base* adaptor,
                                          int port);
typedef bool (*SetRequestPortTerminalFace_ZR_Function)(ZR_Framework::Face::CLS_TerminalFace_Base*,
                                                       int);

// The poller's first, busy and idle intervals in milliseconds (8000, 1000,
// 8000 until set), each clamped to 10 ms - 7 days; from the wait under way on.
ZR_API bool SetPollerTimingTerminalFace_ZR(ZR_Framework::Face::CLS_TerminalFace_Base* adaptor,
                                           long long firstMs, long long busyMs, long long idleMs);
typedef bool (*SetPollerTimingTerminalFace_ZR_Function)(ZR_Framework::Face::CLS_TerminalFace_Base*,
                                                        long long, long long, long long);

// The HTTP client's time-outs in milliseconds, to connect and for a whole
// request (5000 and 30000 until set), each clamped to 1 ms - 24 h.
ZR_API bool SetHttpTimeoutsTerminalFace_ZR(ZR_Framework::Face::CLS_TerminalFace_Base* adaptor,
                                           long long connectMs, long long totalMs);
typedef bool (*SetHttpTimeoutsTerminalFace_ZR_Function)(ZR_Framework::Face::CLS_TerminalFace_Base*,
                                                        long long, long long);

// The operations outside the base interface, as the adaptor's members of
// the same names: an update of a person's record, an activation, and the
// query of one's state.
ZR_API bool SetUserTerminalFace_ZR(ZR_Framework::Face::CLS_TerminalFace_Base* adaptor,
                                   const std::string& id, const std::string& sn,
                                   ZR_Framework::Face::ParamMap& person);
typedef bool (*SetUserTerminalFace_ZR_Function)(ZR_Framework::Face::CLS_TerminalFace_Base*,
                                                const std::string&, const std::string&,
                                                ZR_Framework::Face::ParamMap&);
ZR_API bool ActiveTerminalFace_ZR(ZR_Framework::Face::CLS_TerminalFace_Base* adaptor,
                                  const std::string& id, const std::string& sn,
                                  const std::string& username, const std::string& password,
                                  const std::string& userlevel);
typedef bool (*ActiveTerminalFace_ZR_Function)(ZR_Framework::Face::CLS_TerminalFace_Base*,
                                               const std::string&, const std::string&,
                                               const std::string&, const std::string&,
                                               const std::string&);
ZR_API bool ActivationStatusTerminalFace_ZR(ZR_Framework::Face::CLS_TerminalFace_Base* adaptor,
                                            const std::string& id, const std::string& sn);
typedef bool (*ActivationStatusTerminalFace_ZR_Function)(ZR_Framework::Face::CLS_TerminalFace_Base*,
                                                         const std::string&, const std::string&);

// Stops polling without losing results, for a host that shuts down: a poll
// in flight is waited for up to `boundMs` and its results handed over, with
// any still waiting for a handler. False when a poll had to be interrupted,
// and its results may be lost, or when no handler was there to take the
// results waiting. Final. It sets TerminalFace_ZR_None either way.
ZR_API bool StopPollingTerminalFace_ZR(ZR_Framework::Face::CLS_TerminalFace_Base* adaptor,
                                       long long boundMs);
typedef bool (*StopPollingTerminalFace_ZR_Function)(ZR_Framework::Face::CLS_TerminalFace_Base*,
                                                    long long);

// Why the last operation on the calling thread returned false: a
// TerminalFace_ZR_Failure, and in `status` (when not null) the HTTP status
// that came with TerminalFace_ZR_Status, else 0.
ZR_API int LastFailureTerminalFace_ZR(int* status);
typedef int (*LastFailureTerminalFace_ZR_Function)(int*);

}  // extern "C"

#endif  // TERMINALFACE_ZR_C_H
