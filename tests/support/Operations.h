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
inline const std::string kAnnRecord = AnnRecord("2");
// The status answer under which GetTerminalStatusFace("SN1") succeeds.
inline const std::string kConnectedAnswer = R"(Data=[{"sn":"SN1","connstatus":1}])";
inline const std::string kControl = R"({ "type": 73795, "enable": "true", "value": 0 })";
inline const std::string kUser = "TerminalFace_ZR::AddUserZorvan Call HttpPostRequest ret false";
inline const std::string kControlPost =
    "TerminalFace_ZR::ControlDeviceFace Call HttpPostRequest ret false";
inline const std::string kControlStatus =
    "TerminalFace_ZR::ControlDeviceFace Call GetLastPostStatus ret false";
inline const std::string kNoDocument = "TerminalFace_ZR::DelBiophotoZorvan jsonData == nullptr";

inline std::string Texts(const std::string& operation, const char* what) {
  return "TerminalFace_ZR::" + operation + "Zorvan Call " + what + " ret false";
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
  std::string body;  // exactly what goes over the wire
  std::string postFailed;
  std::string statusFailed;
};

inline const std::vector<Operation>& AllOperations() {
  static const std::vector<Operation> operations = {
      {"GetAvailableFace", "facepad/active",
       [](TerminalFace_ZR& a) {
         ParamMap p;
         return a.GetAvailableFace(p);
       },
       "", Texts("GetAvailableFace", "HttpPostRequest"),
       Texts("GetAvailableFace", "GetLastPostStatus")},
      {"AddUser", "facepad/adduser",
       [](TerminalFace_ZR& a) {
         ParamMap p = kAnn;
         return a.AddUser("7", "SN1", p);
       },
       "SN=SN1\tid=7\tdata=" + kAnnRecord, kUser, kUser},
      {"SetUser", "facepad/setuser",
       [](TerminalFace_ZR& a) {
         ParamMap p = kAnn;
         return a.SetUser("7", "SN1", p);
       },
       "SN=SN1\tid=7\tdata=" + AnnRecord("\"2\""), kUser, kUser},
      {"DelUser", "facepad/deluser",
       [](TerminalFace_ZR& a) {
         ParamMap p = kAnn;
         return a.DelUser("7", "SN1", p);
       },
       "SN=SN1\tid=7\tdata={ \"certnum\": \"C-1\" }",
       "TerminalFace_ZR::DelUser Call HttpPostRequest ret false",
       "TerminalFace_ZR::DelUser Call HttpPostRequest ret false"},
      {"SetBiophoto", "facepad/setfacepic",
       [](TerminalFace_ZR& a) {
         ParamMap p{{"certnum", "C-1"}, {"size", "25abc"}, {"content", "a/b"}};
         return a.SetBiophoto("7", "SN1", p);
       },
       "SN=SN1\tid=7\tdata="
       R"({ "certnum": "C-1", "size": 25, "content": "a\/b" })",
       Texts("SetBiophoto", "HttpPostRequest"), Texts("SetBiophoto", "HttpPostRequest")},
      {"BindTerminalFace", "facepad/binding",
       [](TerminalFace_ZR& a) { return a.BindTerminalFace("SN1", -1, "10.0.0.7", "80", "u", "p"); },
       "SN=SN1\tch=-1\tip=10.0.0.7\tport=80\tusername=u\tpassword=p",
       Texts("BindTerminalFace", "HttpPostRequest"),
       Texts("BindTerminalFace", "GetLastPostStatus")},
      {"UnBindTerminalFace", "facepad/unbinding",
       [](TerminalFace_ZR& a) { return a.UnBindTerminalFace("SN1"); }, "SN=SN1",
       Texts("UnBindTerminalFace", "HttpPostRequest"),
       Texts("UnBindTerminalFace", "GetLastPostStatus")},
      {"SetListenPortFace", "facepad/setport",
       [](TerminalFace_ZR& a) {
         std::string port = "abc";
         std::string reset;
         return a.SetListenPortFace(port, reset);
       },
       "port=abc\treset=", Texts("SetListenPortFace", "HttpPostRequest"),
       Texts("SetListenPortFace", "GetLastPostStatus")},
      {"ControlDeviceFace", "facepad/controldevice",
       [](TerminalFace_ZR& a) { return a.ControlDeviceFace("7", "SN1", "open", "door", "{}"); },
       "SN=SN1\tid=7\tdata=" + kControl, kControlPost, kControlStatus},
      {"Active", "facepad/active",
       [](TerminalFace_ZR& a) { return a.Active("7", "SN1", "op", "", "5"); },
       "SN=SN1\tid=7\tdata=" + Account("op", "", "5"), kControlPost, kControlStatus},
      {"ActivationStatus", "facepad/activationstatus",
       [](TerminalFace_ZR& a) { return a.ActivationStatus("7", "SN1"); }, "SN=SN1\tid=7",
       kControlPost, kControlStatus},
      {"GetTerminalStatusFace", "facepad/getterminalstatus",
       [](TerminalFace_ZR& a) { return a.GetTerminalStatusFace("SN1"); }, "SN=SN1",
       Texts("GetTerminalStatusFace", "HttpPostRequest"),
       Texts("GetTerminalStatusFace", "GetLastPostStatus")},
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
