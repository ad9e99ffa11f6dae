// The simulator's admin API over HTTP: who may use it, what it shows, and
// that a request a fault holds holds nothing else.
#include <httplib.h>
#include <json-c/json.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <thread>
#include <tuple>

#include "Journal.h"
#include "TestAdaptor.h"

// What a browser page from elsewhere might send, and what a path is not
// for: a request from another origin is refused on every path, the page and
// the admin API answer only to their own Host, an admin POST only with JSON,
// and a method a path does not take gets 405 without using up a fault.
TEST(SimulatorAdmin, ABrowserPageFromElsewhereIsRefused) {
  FacepadSim::FacepadSimulator simulator;
  simulator.AddFault(FacepadSim::Fault::Answer(500).On("facepad/adduser").Times(1));
  httplib::Client client(simulator.Host(), simulator.Port());
  const std::string port = std::to_string(simulator.Port());
  const std::string own = simulator.Host() + ":" + port;
  const std::string fault = R"({"fault":"facepad/setuser=500*1"})";
  const std::string person = "SN=FP-1\tid=1\tdata={\"certnum\":\"1\"}";
  struct Case {
    std::string method, path;
    httplib::Headers headers;
    std::string type, body;
    int status;
  };
  const Case cases[] = {
      {"POST", "/admin/faults", {{"Host", own}}, "application/json", fault, 200},
      {"POST", "/admin/faults", {{"Host", "localhost:" + port}}, "application/json", fault, 200},
      {"POST",
       "/admin/faults",
       {{"Host", own}, {"Origin", "http://" + own}},
       "application/json; charset=utf-8",
       fault,
       200},
      {"POST", "/admin/faults", {{"Host", "attacker.example"}}, "application/json", fault, 403},
      {"POST", "/admin/faults", {{"Host", own}}, "text/plain", fault, 403},
      {"POST", "/admin/faults", {{"Host", own}}, "application/jsonx", fault, 403},
      {"POST", "/admin/faults", {{"Host", own}}, "application/json", R"({"faults":"x"})", 400},
      {"POST", "/admin/nothing", {{"Host", own}}, "application/json", "{}", 404},
      {"POST", "/facepad/adduser", {{"Origin", "http://evil.example"}}, "text/plain", person, 403},
      {"POST", "/facepad/adduser", {{"Origin", "null"}}, "text/plain", person, 403},
      {"POST", "/facepad/adduser", {{"Origin", "https://" + own}}, "text/plain", person, 403},
      {"POST",
       "/facepad/adduser",
       {{"Origin", "http://203.0.113.5:" + port}},
       "text/plain",
       person,
       403},
      {"GET", "/admin/state", {{"Host", "evil.example:" + port}}, "", "", 403},
      {"GET", "/admin/persons", {{"Host", "evil.example:" + port}}, "", "", 403},
      {"GET", "/", {{"Host", "evil.example:" + port}}, "", "", 403},
      {"GET", "/", {{"Host", own}}, "", "", 200},
      {"GET", "/admin/reset", {{"Host", own}}, "", "", 405},
      {"HEAD", "/", {{"Host", own}}, "", "", 405},
      {"OPTIONS", "/facepad/adduser", {}, "", "", 405},
      {"GET", "/facepad/adduser", {}, "", "", 405},
      {"PUT", "/facepad/adduser", {}, "text/plain", person, 405},
  };
  for (const Case& c : cases) {
    httplib::Request request;
    request.method = c.method;
    request.path = c.path;
    request.headers = c.headers;
    request.body = c.body;
    if (!c.type.empty()) request.set_header("Content-Type", c.type);
    const auto answer = client.send(request);
    ASSERT_TRUE(answer) << c.method << " " << c.path;
    EXPECT_EQ(answer->status, c.status) << c.method << " " << c.path << " " << c.body;
    EXPECT_FALSE(answer->has_header("Access-Control-Allow-Origin"));
    if (c.status == 400) {
      EXPECT_NE(answer->body.find(R"(unknown key \"faults\")"), std::string::npos) << answer->body;
    }
    if (c.method == "GET" && c.status == 200) {
      EXPECT_NE(answer->get_header_value("Content-Security-Policy").find("frame-ancestors 'none'"),
                std::string::npos);
    }
  }
  EXPECT_EQ(simulator.Model().PersonCount("FP-1"), 0u);
  EXPECT_TRUE(simulator.Journal().empty()) << "refused before it was journalled";
  // The three admin faults were added, and the one for adduser is still there.
  EXPECT_EQ(simulator.Faults().size(), 4u);
}

TEST(SimulatorAdmin, ShowsPhotosByTheirOwnBytes) {
  FacepadSim::FacepadSimulator simulator;
  FacepadSim::ServiceModel& model = simulator.Model();
  // An image claimed in no way but its bytes, and text that claims to be one.
  model.Handle("facepad/adduser", "SN=T\tid=1\tdata={\"certnum\":\"C1\"}\tfacepic=iVBORw0KGgo=");
  model.Handle("facepad/adduser", "SN=T\tid=2\tdata={\"certnum\":\"C2\"}\tfacepic=aW1hZ2UvcG5n");
  httplib::Client client(simulator.Host(), simulator.Port());
  const auto png = client.Get("/admin/photo?sn=T&certnum=C1");
  EXPECT_EQ(png->get_header_value("Content-Type"), "image/png");
  const auto text = client.Get("/admin/photo?sn=T&certnum=C2");
  EXPECT_EQ(text->body, R"({"image":false,"bytes":9})");
  // A record's passwords are masked at any depth and in any case, and bytes
  // that are not UTF-8 are not passed on.
  model.Handle("facepad/adduser",
               "SN=T\tid=3\tdata={\"certnum\":\"C3\",\"Password\":\"top-"
               "secret\",\"x\":[{\"password\":\"secret\"}],\"n\":\"a\xff\"}");
  const auto persons = client.Get("/admin/persons?sn=T");
  EXPECT_EQ(persons->body.find("secret"), std::string::npos) << persons->body;
  EXPECT_EQ(persons->body.find('\xff'), std::string::npos) << persons->body;
}

// A request held by a fault holds only itself.
TEST(SimulatorAdmin, AHangingRequestDoesNotHoldTheOthers) {
  FacepadSim::FacepadSimulator simulator;
  simulator.AddFault(FacepadSim::Fault::Delayed(std::chrono::seconds(30)).On("facepad/setuser"));
  std::thread hanging([&simulator] {
    httplib::Client client(simulator.Host(), simulator.Port());
    client.Post("/facepad/setuser", "SN=T\tid=1\tdata={}", "text/plain");
  });
  ASSERT_TRUE(WaitFor([&] { return simulator.Requests("facepad/setuser").size() == 1; }));
  httplib::Client client(simulator.Host(), simulator.Port());
  client.set_read_timeout(std::chrono::seconds(5));
  const auto answer = client.Post("/facepad/active", "", "text/plain");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 200);
  simulator.Stop();  // cuts the hang short
  hanging.join();
}

TEST(SimulatorAdmin, JournalBodiesElidePhotosAndMaskPasswords) {
  const std::pair<std::string, std::string> cases[] = {
      {"SN=T\tid=1\tdata={}\tfacepic=QUJDRA==", "SN=T\tid=1\tdata={}\tfacepic=<4 bytes>"},
      {R"(SN=T	id=2	data={ "certnum": "C1", "content": "QUJDREVG", "size": 6 })",
       R"(SN=T	id=2	data={"certnum":"C1","content":"<6 bytes>","size":6})"},
      {R"(SN=T	id=3	data={"password": "hunter2","name":"x"})",
       R"(SN=T	id=3	data={"password":"••••••","name":"x"})"},
      {"SN=T\tch=1\tip=a\tport=b\tusername=u\tpassword=s3cret",
       "SN=T\tch=1\tip=a\tport=b\tusername=u\tpassword=••••••"},
      {"SN=T\tpassword=", "SN=T\tpassword="},
      // Passwords holding a quote, a backslash, an escape; a name escaped; a number.
      {R"(data={"password":"ab\"cd-secret"})", R"(data={"password":"••••••"})"},
      {R"(data={"password":"a\\\"b\\"})", R"(data={"password":"••••••"})"},
      {R"(data={"pass\u0077ord":"x\u0022y","user":{"Password":1234}})",
       R"(data={"password":"••••••","user":{"Password":"••••••"}})"},
      {R"({"password":"x"})", R"({"password":"••••••"})"},
      {"SN=T\tpassword=ab\tcd", "SN=T\tpassword=••••••"},
      // What cannot be read is masked from a password's name on.
      {R"(SN=T	data={"password":"ab\"cd-secret)", R"(SN=T	data={"password••••••)"},
      {"SN=T\tdata={\"password\":\"x\tid=leak\"}", "SN=T\tdata={\"password••••••"},
      {R"(data={"a":1} "password":"leak")", R"(data={"a":1} "password••••••)"},
      {"passwordleak", "password••••••"},
  };
  for (const auto& [body, shown] : cases) EXPECT_EQ(FacepadSim::ElidedBody(body), shown) << body;
}

// In memory the journal keeps each body exact, or, given a bound, elided and
// cut to it, at a character's start; its file has every body whole, elided.
TEST(SimulatorAdmin, JournalBoundsBodiesInMemoryButNotInItsFile) {
  const std::string name(5000, 'n');
  const std::string body = "SN=T\tid=1\tdata={\"name\":\"" + name +
                           "\",\"password\":\"pw\"}\tfacepic=" + std::string(8000, 'Q');
  const std::string shown =
      "SN=T\tid=1\tdata={\"name\":\"" + name + "\",\"password\":\"••••••\"}\tfacepic=<6000 bytes>";
  const auto cut = [&shown](std::size_t at) {
    return shown.substr(0, at) + "… " + std::to_string(shown.size() - at) + " bytes";
  };
  const std::size_t mask = shown.find("•");
  // The bound, whether there is a file, and the body kept in memory.
  const std::tuple<std::size_t, bool, std::string> cases[] = {
      {static_cast<std::size_t>(-1), true, body},
      {4096, true, cut(4096)},
      {mask + 1, false, cut(mask)},
  };
  const std::string file = testing::TempDir() + "journal-" + std::to_string(getpid()) + ".jsonl";
  for (const auto& [bound, withFile, kept] : cases) {
    std::remove(file.c_str());
    FacepadSim::SimulatorOptions options;
    options.journalBodyLimit = bound;
    if (withFile) options.journalFile = file;
    {
      FacepadSim::FacepadSimulator simulator(options);
      httplib::Client(simulator.Host(), simulator.Port())
          .Post("/facepad/adduser", body, "text/plain");
      EXPECT_EQ(simulator.Journal().at(0).body, kept);
    }
    if (!withFile) continue;
    std::ifstream lines(file);
    std::string line;
    std::getline(lines, line);
    const std::unique_ptr<json_object, decltype(&json_object_put)> parsed(
        json_tokener_parse(line.c_str()), &json_object_put);
    json_object* written = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(parsed.get(), "body", &written)) << line;
    EXPECT_EQ(json_object_get_string(written), shown);
  }
  std::remove(file.c_str());
}
