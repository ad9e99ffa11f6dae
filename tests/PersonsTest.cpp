// Persons and face photos over real HTTP: exact bodies, failures, results.
#include <gtest/gtest.h>

#include "JsonCreationFailure.h"
#include "LogCapture.h"
#include "RecordedCallback.h"
#include "TestAdaptor.h"
#include "UserRecord.h"

using namespace std::chrono_literals;
using FacepadSim::Fault;
using ZR_Framework::Face::BuildUserRecord;
using ZR_Framework::Face::ParamMap;
using ZR_Framework::Face::ResultMap;
using ZR_Framework::Face::TerminalFace_ZR;
using ZR_Framework::Face::UserRecordFailure;
using ZR_Framework::Face::UserRecordVariant;

namespace {
const std::string kUserFailed = "TerminalFace_ZR::AddUserZorvan Call HttpPostRequest ret false";
const std::string kUserJsonFailed = "TerminalFace_ZR::AddUserZorvan jsonData == nullptr";
const std::string kDelFailed = "TerminalFace_ZR::DelUser Call HttpPostRequest ret false";
const std::string kPhotoFailed =
    "TerminalFace_ZR::SetBiophotoZorvan Call HttpPostRequest ret false";
const std::string kPhotoJsonFailed = "TerminalFace_ZR::SetBiophotoZorvan jsonData == nullptr";

std::string RecordOf(ParamMap person, UserRecordVariant variant) {
  UserRecordFailure failure;
  return BuildUserRecord(person, variant, failure).value();
}

const ParamMap kAnn = {{"certnum", "C-100"}, {"name", "Ann"}, {"num", "77"}, {"cardtype", "2"}};
}  // namespace

class Persons : public ::testing::Test {
 protected:
  Persons() { PointAt(adaptor, simulator); }
  std::string OnlyBody(const std::string& path) const {
    const auto requests = simulator.Requests(path);
    EXPECT_EQ(requests.size(), 1u) << path;
    return requests.empty() ? std::string() : requests.back().body;
  }
  FacepadSim::FacepadSimulator simulator;
  TerminalFace_ZR adaptor;
  LogCapture log;
};

TEST_F(Persons, AddUserBodyWithAndWithoutPicture) {
  struct Case {
    const char* name;
    ParamMap extra;
    std::string tail;
  };
  const Case cases[] = {
      {"no picture", {}, ""},
      {"picture", {{"facepic", "/9j/4AAQSkZJRg=="}}, "\tfacepic=/9j/4AAQSkZJRg=="},
      {"empty picture", {{"facepic", ""}}, "\tfacepic="},
      {"picture with a NUL", {{"facepic", std::string("ab\0cd", 5)}}, "\tfacepic=ab"},
  };
  for (const Case& c : cases) {
    simulator.ClearJournal();
    ParamMap person = kAnn;
    person.insert(c.extra.begin(), c.extra.end());
    const std::string record = RecordOf(person, UserRecordVariant::Add);
    EXPECT_TRUE(adaptor.AddUser("id-" + std::string(c.name), "SN1", person)) << c.name;
    EXPECT_EQ(OnlyBody("facepad/adduser"),
              "SN=SN1\tid=id-" + std::string(c.name) + "\tdata=" + record + c.tail)
        << c.name;
    EXPECT_EQ(person.count("facepic"), c.extra.size()) << c.name;  // never inserted
  }
  EXPECT_TRUE(log.Records().empty());
}

TEST_F(Persons, SerialAndIdGoOutUnescaped) {
  ParamMap person;
  const std::string sn = "S&N=1\tx";
  const std::string id = "i\r\nd";
  ASSERT_TRUE(adaptor.AddUser(id, sn, person));
  EXPECT_EQ(OnlyBody("facepad/adduser"),
            "SN=" + sn + "\tid=" + id + "\tdata=" + RecordOf({}, UserRecordVariant::Add));
  ASSERT_TRUE(adaptor.DelUser("", "", person));
  EXPECT_EQ(OnlyBody("facepad/deluser"), "SN=\tid=\tdata={ \"certnum\": \"\" }");
}

TEST_F(Persons, SetUserSendsTheUpdateRecordAndNeverThePicture) {
  ParamMap person = {{"certnum", "C-1"}, {"num", ""}, {"cardtype", "3"}, {"facepic", "PIC"}};
  ParamMap forAdd = person;
  ASSERT_TRUE(adaptor.AddUser("1", "SN1", forAdd));
  ASSERT_TRUE(adaptor.SetUser("2", "SN1", person));
  const std::string body = OnlyBody("facepad/setuser");
  EXPECT_EQ(body, "SN=SN1\tid=2\tdata=" + RecordOf(person, UserRecordVariant::Update));
  EXPECT_EQ(body.find("facepic"), std::string::npos);
  EXPECT_NE(OnlyBody("facepad/adduser").find(R"("cardinfo": [ ])"), std::string::npos);
  EXPECT_NE(body.find(R"("cardinfo": [ { "num": "", "type": "3" } ])"), std::string::npos);
  EXPECT_EQ(person.size(), 12u);  // the eleven record keys and the picture
}

TEST_F(Persons, DelUserSendsTheCertnumAlone) {
  ParamMap person = kAnn;
  ASSERT_TRUE(adaptor.DelUser("9", "SN1", person));
  EXPECT_EQ(OnlyBody("facepad/deluser"), "SN=SN1\tid=9\tdata={ \"certnum\": \"C-100\" }");
  EXPECT_EQ(person, kAnn);
  ParamMap empty;
  ASSERT_TRUE(adaptor.DelUser("10", "SN1", empty));
  EXPECT_EQ(empty, (ParamMap{{"certnum", ""}}));
}

TEST_F(Persons, SetBiophotoDocument) {
  struct Case {
    ParamMap photo;
    std::string data;
    ParamMap after;
  };
  const Case cases[] = {
      {{{"certnum", "C-1"}, {"size", "4"}, {"content", "QUJD"}},
       R"({ "certnum": "C-1", "size": 4, "content": "QUJD" })",
       {{"certnum", "C-1"}, {"size", "4"}, {"content", "QUJD"}}},
      {{{"certnum", "C-1"}, {"size", "25abc"}, {"content", "x/y"}},
       R"({ "certnum": "C-1", "size": 25, "content": "x\/y" })",
       {{"certnum", "C-1"}, {"size", "25abc"}, {"content", "x/y"}}},
      {{{"other", "o"}},
       R"({ "certnum": "", "size": 0, "content": "" })",
       {{"other", "o"}, {"certnum", ""}, {"size", ""}, {"content", ""}}},
  };
  for (Case c : cases) {
    simulator.ClearJournal();
    ASSERT_TRUE(adaptor.SetBiophoto("5", "SN1", c.photo));
    EXPECT_EQ(OnlyBody("facepad/setfacepic"), "SN=SN1\tid=5\tdata=" + c.data);
    EXPECT_EQ(c.photo, c.after);
  }
}

TEST_F(Persons, RefusedAndFailedPostsLogTheirTexts) {
  struct Case {
    const char* name;
    std::function<bool(TerminalFace_ZR&, ParamMap&)> call;
    std::string path;
    std::string text;
  };
  const Case cases[] = {
      {"AddUser", [](TerminalFace_ZR& a, ParamMap& p) { return a.AddUser("1", "S", p); },
       "facepad/adduser", kUserFailed},
      {"SetUser", [](TerminalFace_ZR& a, ParamMap& p) { return a.SetUser("1", "S", p); },
       "facepad/setuser", kUserFailed},
      {"DelUser", [](TerminalFace_ZR& a, ParamMap& p) { return a.DelUser("1", "S", p); },
       "facepad/deluser", kDelFailed},
      {"SetBiophoto", [](TerminalFace_ZR& a, ParamMap& p) { return a.SetBiophoto("1", "S", p); },
       "facepad/setfacepic", kPhotoFailed},
  };
  for (const Case& c : cases) {
    for (int status : {201, 204, 400, 500}) {
      log.Clear();
      simulator.AddFault(Fault::Answer(status).On(c.path).Times(1));
      ParamMap person;
      EXPECT_FALSE(c.call(adaptor, person)) << c.name << " " << status;
      EXPECT_EQ(log.Messages(), std::vector<std::string>{c.text}) << c.name << " " << status;
    }
    log.Clear();
    simulator.AddFault(Fault::CloseConnection().On(c.path));
    ParamMap person;
    EXPECT_FALSE(c.call(adaptor, person)) << c.name;
    EXPECT_EQ(log.Messages(), std::vector<std::string>{c.text}) << c.name;
    simulator.ClearFaults();
    {
      NoLogger silence;
      simulator.AddFault(Fault::Answer(500).On(c.path).Times(1));
      EXPECT_FALSE(c.call(adaptor, person)) << c.name;
    }
  }
  // A refused post and a refused status share a text but not a line.
  log.Clear();
  ParamMap person;
  simulator.AddFault(Fault::Answer(500).On("facepad/adduser").Times(1));
  adaptor.AddUser("1", "S", person);
  adaptor.SetRequestPort(UnusedPort());
  adaptor.AddUser("1", "S", person);
  ASSERT_EQ(log.Records().size(), 2u);
  EXPECT_NE(log.Records()[0].line, log.Records()[1].line);
}

TEST_F(Persons, DocumentsThatCannotBeMadeSendNothing) {
  using Container = JsonCreationFailure::Container;
  struct Case {
    const char* name;
    std::function<bool(TerminalFace_ZR&, ParamMap&)> call;
    Container container;
    int nth;
    std::string text;
  };
  const Case cases[] = {
      {"AddUser record", [](TerminalFace_ZR& a, ParamMap& p) { return a.AddUser("1", "S", p); },
       Container::Object, 1, kUserJsonFailed},
      {"AddUser card", [](TerminalFace_ZR& a, ParamMap& p) { return a.AddUser("1", "S", p); },
       Container::Object, 2, kUserJsonFailed},
      {"AddUser cards", [](TerminalFace_ZR& a, ParamMap& p) { return a.AddUser("1", "S", p); },
       Container::Array, 1, kUserJsonFailed},
      {"SetUser cards", [](TerminalFace_ZR& a, ParamMap& p) { return a.SetUser("1", "S", p); },
       Container::Array, 1, kUserJsonFailed},
      {"DelUser", [](TerminalFace_ZR& a, ParamMap& p) { return a.DelUser("1", "S", p); },
       Container::Object, 1, kUserJsonFailed},
      {"SetBiophoto", [](TerminalFace_ZR& a, ParamMap& p) { return a.SetBiophoto("1", "S", p); },
       Container::Object, 1, kPhotoJsonFailed},
  };
  for (const Case& c : cases) {
    log.Clear();
    ParamMap person{{"facepic", "PIC"}};
    {
      JsonCreationFailure fail(c.container, c.nth);
      EXPECT_FALSE(c.call(adaptor, person)) << c.name;
    }
    EXPECT_EQ(log.Messages(), std::vector<std::string>{c.text}) << c.name;
    EXPECT_EQ(person, (ParamMap{{"facepic", "PIC"}})) << c.name;
  }
  EXPECT_TRUE(simulator.RequestsBesidesPolls().empty());
}

// A person's life on a terminal, each result arriving at the host's callback
// with the simulator's code.
TEST(PersonsEndToEnd, AddUpdatePhotoDeleteWithResults) {
  using Results = RecordedCallback<0>;
  Results::Reset(/*emptyTheMap=*/true);
  FacepadSim::FacepadSimulator simulator;
  FastPollingAdaptor adaptor(10ms);
  PointAt(adaptor, simulator);
  adaptor.SetResultCallbackFace(Results::Record);

  std::string picture(200 * 1024, 'A');
  ParamMap ann = kAnn;
  ann["facepic"] = picture;
  ParamMap photo{{"certnum", "C-100"}, {"size", "3"}, {"content", "QUJD"}};
  ParamMap stranger{{"certnum", "C-999"}};
  ParamMap unnamed;
  ASSERT_TRUE(adaptor.AddUser("1", "SN1", ann));
  ASSERT_TRUE(adaptor.AddUser("2", "SN1", ann));
  ASSERT_TRUE(adaptor.SetUser("3", "SN1", ann));
  ASSERT_TRUE(adaptor.SetUser("4", "SN1", stranger));
  ASSERT_TRUE(adaptor.SetBiophoto("5", "SN1", photo));
  ASSERT_TRUE(adaptor.DelUser("6", "SN1", ann));
  ASSERT_TRUE(adaptor.DelUser("7", "SN1", ann));
  ASSERT_TRUE(adaptor.AddUser("8", "SN1", unnamed));

  ResultMap seen;
  ASSERT_TRUE(WaitFor([&] {
    for (const ResultMap& delivery : Results::Deliveries()) {
      for (const auto& [sn, outcomes] : delivery) seen[sn].insert(outcomes.begin(), outcomes.end());
    }
    return seen["SN1"].size() == 8;
  }));
  EXPECT_EQ(seen["SN1"], (ParamMap{{"1", "0"},
                                   {"2", "101"},
                                   {"3", "0"},
                                   {"4", "102"},
                                   {"5", "0"},
                                   {"6", "0"},
                                   {"7", "102"},
                                   {"8", "103"}}));
  EXPECT_EQ(simulator.PersonCount("SN1"), 0u);
}

TEST(PersonsEndToEnd, SimulatorKeepsWhatItWasSent) {
  FacepadSim::FacepadSimulator simulator;
  TerminalFace_ZR adaptor;
  PointAt(adaptor, simulator);
  ParamMap ann = kAnn;
  ann["facepic"] = std::string(300 * 1024, 'B');
  ASSERT_TRUE(adaptor.AddUser("1", "SN1", ann));
  ParamMap photo{{"certnum", "C-100"}, {"size", "4"}, {"content", "QUJD"}};
  ASSERT_TRUE(adaptor.SetBiophoto("2", "SN1", photo));
  const auto person = simulator.FindPerson("SN1", "C-100");
  ASSERT_TRUE(person.has_value());
  EXPECT_EQ(person->facepic.size(), 300u * 1024u);
  EXPECT_EQ(person->photo, "QUJD");
  EXPECT_EQ(person->photoSize, 4);
  EXPECT_EQ(person->record, RecordOf(ann, UserRecordVariant::Add));
}
