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

// Ann as a host's map, her photo with her.
inline const ParamMap kAnn = {
    {"certnum", "C-1"}, {"name", "Ann"}, {"num", "77"}, {"cardtype", "2"}, {"facepic", "UE5H"}};
// Ann's user record, with the card type written as `type`.
inline std::string AnnRecord(const std::string& type) {
  return R"({ "certtype": "", "certnum": "C-1", "name": "Ann", "password": "", "authmethod": "", )"
         R"("facetype": "", "roleplay": "", "cardinfo": [ { "num": "77", "type": )" +
         type + R"( } ], "plantemplateno": "", "enablecover": "" })";
}
// What an operation logs when it cannot make its JSON document.
inline const char* const kNoActivation = "TerminalFace_ZR::DelBiophotoZorvan jsonData == nullptr";
inline const char* const kNoUserRecord = "TerminalFace_ZR::AddUserZorvan jsonData == nullptr";

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
  std::function<bool(TerminalFace_ZR&, ParamMap&)> call;  // with the host's map
  std::string body;                                       // exactly what goes over the wire
  std::string as = {};               // whose texts it logs: its own name with "Zorvan" unless given
  bool postTextForStatus = false;    // a status not 200 logs the post's text too
  ParamMap params = {};              // the host's map it is called with
  const char* noDocument = nullptr;  // what it logs when it cannot make its JSON document
  // Calls it with a copy of `params`.
  bool Call(TerminalFace_ZR& adaptor) const {
    ParamMap copy = params;
    return call(adaptor, copy);
  }
  // What it logs when its post fails, or when the answer's status is not 200.
  std::string Failed(bool status) const {
    const std::string who = as.empty() ? name + std::string("Zorvan") : as;
    return Text(who, status && !postTextForStatus ? "GetLastPostStatus" : "HttpPostRequest");
  }
};

inline const std::vector<Operation>& AllOperations() {
  using T = TerminalFace_ZR;
  using P = ParamMap;
  const auto person = [](bool (T::*operation)(const std::string&, const std::string&, P&)) {
    return [operation](T& a, P& p) { return (a.*operation)("7", "SN1", p); };
  };
  const auto port = [](T& a, P&) {
    std::string port = "abc";
    std::string reset;
    return a.SetListenPortFace(port, reset);
  };
  static const std::vector<Operation> operations = {
      {"GetAvailableFace", "facepad/active", [](T& a, P& p) { return a.GetAvailableFace(p); }, ""},
      {"AddUser", "facepad/adduser", person(&T::AddUser),
       "SN=SN1\tid=7\tdata=" + AnnRecord("2") + "\tfacepic=UE5H", "AddUserZorvan", true, kAnn,
       kNoUserRecord},
      {"SetUser", "facepad/setuser", person(&T::SetUser),
       "SN=SN1\tid=7\tdata=" + AnnRecord("\"2\""), "AddUserZorvan", true, kAnn, kNoUserRecord},
      {"DelUser", "facepad/deluser", person(&T::DelUser),
       "SN=SN1\tid=7\tdata={ \"certnum\": \"C-1\" }", "DelUser", true, kAnn, kNoUserRecord},
      {"SetBiophoto", "facepad/setfacepic", person(&T::SetBiophoto),
       "SN=SN1\tid=7\tdata={ \"certnum\": \"C-1\", \"size\": 25, \"content\": \"a\\/b\" }", "",
       true, P{{"certnum", "C-1"}, {"size", "25abc"}, {"content", "a/b"}},
       "TerminalFace_ZR::SetBiophotoZorvan jsonData == nullptr"},
      {"BindTerminalFace", "facepad/binding",
       [](T& a, P&) { return a.BindTerminalFace("SN1", -1, "10.0.0.7", "80", "u", "p"); },
       "SN=SN1\tch=-1\tip=10.0.0.7\tport=80\tusername=u\tpassword=p"},
      {"UnBindTerminalFace", "facepad/unbinding",
       [](T& a, P&) { return a.UnBindTerminalFace("SN1"); }, "SN=SN1"},
      {"SetListenPortFace", "facepad/setport", port, "port=abc\treset="},
      {"ControlDeviceFace", "facepad/controldevice",
       [](T& a, P&) { return a.ControlDeviceFace("7", "SN1", "open", "door", "{}"); },
       "SN=SN1\tid=7\tdata={ \"type\": 73795, \"enable\": \"true\", \"value\": 0 }",
       "ControlDeviceFace", false, P(), kNoActivation},
      {"Active", "facepad/active", [](T& a, P&) { return a.Active("7", "SN1", "op", "", "5"); },
       "SN=SN1\tid=7\tdata=" + Account("op", "", "5"), "ControlDeviceFace", false, P(),
       kNoActivation},
      {"ActivationStatus", "facepad/activationstatus",
       [](T& a, P&) { return a.ActivationStatus("7", "SN1"); }, "SN=SN1\tid=7",
       "ControlDeviceFace"},
      {"GetTerminalStatusFace", "facepad/getterminalstatus",
       [](T& a, P&) { return a.GetTerminalStatusFace("SN1"); }, "SN=SN1"},
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
