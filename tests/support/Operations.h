// Every operation of the adaptor as a row: how to call it, exactly what it
// sends, and the texts it logs when its request fails.
#ifndef TESTS_OPERATIONS_H
#define TESTS_OPERATIONS_H

#include <functional>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "TerminalFace_ZR.h"

namespace operations {

using ZR_Framework::Face::ParamMap;
using ZR_Framework::Face::TerminalFace_ZR;

inline const ParamMap kAnn = {
    {"certnum", "C-1"}, {"name", "Ann"}, {"num", "77"}, {"cardtype", "2"}};
// Ann's user record, with the card type written as `type`.
inline std::string AnnRecord(const std::string& type) {
  return R"({ "certtype": "", "certnum": "C-1", "name": "Ann", "password": "", "authmethod": "", )"
         R"("facetype": "", "roleplay": "", "cardinfo": [ { "num": "77", "type": )" +
         type + R"( } ], "plantemplateno": "", "enablecover": "" })";
}
// The status answer under which GetTerminalStatusFace("SN1") succeeds.
inline const std::string kConnectedAnswer = R"(Data=[{"sn":"SN1","connstatus":1}])";
inline const std::string kNoDocument = "TerminalFace_ZR::DelBiophotoZorvan jsonData == nullptr";

// What `operation` logs when `call` (HttpPostRequest or GetLastPostStatus) fails.
inline std::string Text(const std::string& operation, const char* call) {
  return "TerminalFace_ZR::" + operation + " Call " + call + " ret false";
}

inline std::string Account(const std::string& user, const std::string& password,
                           const std::string& level) {
  return R"({ "username": ")" + user + R"(", "password": ")" + password + R"(", "userlevel": ")" +
         level + "\" }";
}

// The activation id in the body of an "active" request.
inline std::string ActivationId(const std::string& body) {
  std::smatch match;
  return std::regex_search(body, match, std::regex("\tid=([0-9]+)\t")) ? match[1].str() : "";
}

struct Operation {
  const char* name;
  const char* path;
  std::function<bool(TerminalFace_ZR&)> call;
  std::string body;                // exactly what goes over the wire
  std::string as = {};             // whose texts it logs: its own name with "Zorvan" unless given
  bool postTextForStatus = false;  // a status not 200 logs the post's text too
  // What it logs when its post fails, or when the answer's status is not 200.
  std::string Failed(bool status) const {
    const std::string who = as.empty() ? name + std::string("Zorvan") : as;
    return Text(who, status && !postTextForStatus ? "GetLastPostStatus" : "HttpPostRequest");
  }
};

// A person operation with a copy of `person` (Ann's map unless given).
inline std::function<bool(TerminalFace_ZR&)> WithAnn(
    bool (TerminalFace_ZR::*operation)(const std::string&, const std::string&, ParamMap&),
    const ParamMap& person = kAnn) {
  return [=](TerminalFace_ZR& a) {
    ParamMap copy = person;
    return (a.*operation)("7", "SN1", copy);
  };
}

inline const std::vector<Operation>& AllOperations() {
  using T = TerminalFace_ZR;
  const auto port = [](T& a) {
    std::string port = "abc";
    std::string reset;
    return a.SetListenPortFace(port, reset);
  };
  const ParamMap photo{{"certnum", "C-1"}, {"size", "25abc"}, {"content", "a/b"}};
  static const std::vector<Operation> operations = {
      {"GetAvailableFace", "facepad/active",
       [](T& a) {
         ParamMap p;
         return a.GetAvailableFace(p);
       },
       ""},
      {"AddUser", "facepad/adduser", WithAnn(&T::AddUser), "SN=SN1\tid=7\tdata=" + AnnRecord("2"),
       "AddUserZorvan", true},
      {"SetUser", "facepad/setuser", WithAnn(&T::SetUser),
       "SN=SN1\tid=7\tdata=" + AnnRecord("\"2\""), "AddUserZorvan", true},
      {"DelUser", "facepad/deluser", WithAnn(&T::DelUser),
       "SN=SN1\tid=7\tdata={ \"certnum\": \"C-1\" }", "DelUser", true},
      {"SetBiophoto", "facepad/setfacepic", WithAnn(&T::SetBiophoto, photo),
       "SN=SN1\tid=7\tdata="
       R"({ "certnum": "C-1", "size": 25, "content": "a\/b" })",
       "", true},
      {"BindTerminalFace", "facepad/binding",
       [](T& a) { return a.BindTerminalFace("SN1", -1, "10.0.0.7", "80", "u", "p"); },
       "SN=SN1\tch=-1\tip=10.0.0.7\tport=80\tusername=u\tpassword=p"},
      {"UnBindTerminalFace", "facepad/unbinding", [](T& a) { return a.UnBindTerminalFace("SN1"); },
       "SN=SN1"},
      {"SetListenPortFace", "facepad/setport", port, "port=abc\treset="},
      {"ControlDeviceFace", "facepad/controldevice",
       [](T& a) { return a.ControlDeviceFace("7", "SN1", "open", "door", "{}"); },
       "SN=SN1\tid=7\tdata="
       R"({ "type": 73795, "enable": "true", "value": 0 })",
       "ControlDeviceFace"},
      {"Active", "facepad/active", [](T& a) { return a.Active("7", "SN1", "op", "", "5"); },
       "SN=SN1\tid=7\tdata=" + Account("op", "", "5"), "ControlDeviceFace"},
      {"ActivationStatus", "facepad/activationstatus",
       [](T& a) { return a.ActivationStatus("7", "SN1"); }, "SN=SN1\tid=7", "ControlDeviceFace"},
      {"GetTerminalStatusFace", "facepad/getterminalstatus",
       [](T& a) { return a.GetTerminalStatusFace("SN1"); }, "SN=SN1"},
  };
  return operations;
}

inline const Operation& Find(const std::string& name) {
  for (const Operation& operation : AllOperations()) {
    if (operation.name == name) return operation;
  }
  throw std::logic_error(name);
}

}  // namespace operations

#endif  // TESTS_OPERATIONS_H
