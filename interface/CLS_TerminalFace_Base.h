// The host framework's abstract face-terminal interface. A host drives every
// face-terminal module through these operations, in this slot order.
#ifndef CLS_TERMINALFACE_BASE_H
#define CLS_TERMINALFACE_BASE_H

#include <map>
#include <string>

#include "ZR_Export.h"

namespace ZR_Framework {
namespace Face {

// A person, photo or query as text pairs; also the inner map of a result
// (request id to outcome text).
using ParamMap = std::map<std::string, std::string>;

// Results by terminal serial number.
using ResultMap = std::map<std::string, ParamMap>;

// The host's result callback; its return value is ignored.
using ResultCallback = int (*)(ResultMap&);

class ZR_API CLS_TerminalFace_Base {
 public:
  CLS_TerminalFace_Base();
  virtual ~CLS_TerminalFace_Base() = default;

  virtual bool AddUser(const std::string& id, const std::string& sn, ParamMap& person) = 0;
  virtual bool DelUser(const std::string& id, const std::string& sn, ParamMap& person) = 0;
  virtual bool SetBiophoto(const std::string& id, const std::string& sn, ParamMap& photo) = 0;
  virtual bool DelBiophoto(const std::string& id, const std::string& sn, ParamMap& photo) = 0;
  virtual bool SetResultCallbackFace(ResultCallback callback) = 0;
  virtual bool SetListenPortFace(std::string& port, std::string& reset) = 0;
  virtual bool SetInitParamFace(ParamMap& params) = 0;
  virtual bool GetAvailableFace(ParamMap& params) = 0;
  virtual bool BindTerminalFace(const std::string& sn, const int& channel, const std::string& ip,
                                const std::string& port, const std::string& username,
                                const std::string& password) = 0;
  virtual bool UnBindTerminalFace(const std::string& sn) = 0;
  virtual bool GetTerminalStatusFace(const std::string& sn) = 0;
  virtual bool ControlDeviceFace(const std::string& id, const std::string& sn,
                                 const std::string& arg3, const std::string& arg4,
                                 const std::string& arg5) = 0;
  virtual bool SetUrl(const std::string& url) = 0;
};

}  // namespace Face
}  // namespace ZR_Framework

#endif  // CLS_TERMINALFACE_BASE_H
