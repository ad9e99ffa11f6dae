// The simulator: its admin API over HTTP (who may use it, what it shows),
// its limits on clients idle, slow, held or oversized, and the service's
// behaviour without a server.
#include <httplib.h>
#include <json-c/json.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <deque>
#include <fstream>
#include <memory>
#include <tuple>

#include "FaultRule.h"
#include "FormBody.h"
#include "Journal.h"
#include "ServiceModel.h"
#include "Subprocess.h"
#include "TestAdaptor.h"

using namespace std::chrono_literals;

// What a browser page from elsewhere might send, and what a path is not
// for: a request from another origin is refused on every path, the page and
// the admin API answer only to their own Host, an admin POST only with JSON,
// ranges are not answered, and a method a path does not take gets 405
// without using up a fault.
TEST(SimulatorAdmin, RefusesPagesFromElsewhereAndShowsWhatItHolds) {
  FacepadSim::FacepadSimulator simulator;
  simulator.AddFault(FacepadSim::Fault::Answer(500).On("facepad/adduser").Times(1));
  httplib::Client client(simulator.Host(), simulator.Port());
  const std::string port = std::to_string(simulator.Port());
  const std::string own = simulator.Host() + ":" + port;
  const std::string fault = R"({"fault":"facepad/setuser=500*1"})";
  const std::string person = "SN=FP-1\tid=1\tdata={\"certnum\":\"1\"}";
  const std::string longCode = R"({"code":")" + std::string(65, '7') + "\"}";
  const httplib::Headers sameOrigin = {{"Host", own}, {"Origin", "http://" + own}};
  const std::string elsewhere = "http://203.0.113.5:" + port;  // the port, but not the host
  // The method, path, headers, media type and body, and the status answered.
  using Case =
      std::tuple<std::string, std::string, httplib::Headers, std::string, std::string, int>;
  const Case cases[] = {
      {"POST", "/admin/faults", {{"Host", own}}, "application/json", fault, 200},
      {"POST", "/admin/faults", {{"Host", "localhost:" + port}}, "application/json", fault, 200},
      {"POST", "/admin/faults", sameOrigin, "application/json; charset=utf-8", fault, 200},
      {"POST", "/admin/faults", {{"Host", "attacker.example"}}, "application/json", fault, 403},
      {"POST", "/admin/faults", {{"Host", own}}, "text/plain", fault, 403},
      {"POST", "/admin/faults", {{"Host", own}}, "application/jsonx", fault, 403},
      {"POST", "/admin/faults", {{"Host", own}}, "application/json", R"({"faults":"x"})", 400},
      {"POST", "/admin/reset", {{"Host", own}}, "application/json", "{} junk", 400},
      {"POST", "/admin/result-code", {{"Host", own}}, "application/json", longCode, 400},
      {"POST", "/admin/nothing", {{"Host", own}}, "application/json", "{}", 404},
      {"POST", "/facepad/adduser", {{"Origin", "http://evil.example"}}, "text/plain", person, 403},
      {"POST", "/facepad/adduser", {{"Origin", "null"}}, "text/plain", person, 403},
      {"POST", "/facepad/adduser", {{"Origin", "https://" + own}}, "text/plain", person, 403},
      {"POST", "/facepad/adduser", {{"Origin", elsewhere}}, "text/plain", person, 403},
      {"GET", "/admin/state", {{"Host", "evil.example:" + port}}, "", "", 403},
      {"GET", "/", {{"Host", "evil.example:" + port}}, "", "", 403},
      {"GET", "/", {{"Host", own}}, "", "", 200},
      {"GET", "/", {{"Host", own}, {"Range", "bytes=0-1,0-"}}, "", "", 200},  // whole
      {"GET", "/admin/reset", {{"Host", own}}, "", "", 405},
      {"HEAD", "/", {{"Host", own}}, "", "", 405},
      {"OPTIONS", "/facepad/adduser", {}, "", "", 405},
      {"GET", "/facepad/adduser", {}, "", "", 405},
  };
  for (const auto& [method, path, headers, type, body, status] : cases) {
    SCOPED_TRACE(method + " " + path + " " + body);
    httplib::Request request;
    std::tie(request.method, request.path, request.headers, request.body) =
        std::tie(method, path, headers, body);
    if (!type.empty()) request.set_header("Content-Type", type);
    const auto answer = client.send(request);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, status);
    EXPECT_FALSE(answer->has_header("Access-Control-Allow-Origin"));
    EXPECT_TRUE(body != R"({"faults":"x"})" || Has(answer->body, R"(unknown key \"faults\")"));
    EXPECT_TRUE(method != "GET" || status != 200 ||
                Has(answer->get_header_value("Content-Security-Policy"), "frame-ancestors 'none'"));
  }
  EXPECT_EQ(simulator.Model().PersonCount("FP-1"), 0u);
  EXPECT_TRUE(simulator.Journal().empty()) << "refused before it was journalled";
  // The three admin faults were added, the one for adduser is still there,
  // and no result code was set.
  EXPECT_EQ(simulator.Faults().size(), 4u);
  EXPECT_FALSE(simulator.Model().ResultCodesSet().every.has_value());

  // What the admin API shows: the state, a page of persons, and the journal,
  // newest first, as many as asked for, by path and by serial number. Photos
  // are shown by their own bytes, an image claimed in no way but its bytes
  // and text that claims to be one; passwords are masked at any depth and in
  // any case, and bytes that are not UTF-8 not passed on.
  simulator.ClearFaults();
  simulator.Model().SetNextResultCodes("T", "105", 5);
  FacepadSim::ServiceModel& model = simulator.Model();
  model.Handle("facepad/adduser", "SN=V\tid=1\tdata={\"certnum\":\"C1\"}\tfacepic=iVBORw0KGgo=");
  model.Handle("facepad/adduser",
               "SN=V\tid=2\tdata={\"certnum\":\"C2\"}\tfacepic=aW1hZ2UvcG5n+/+/");
  model.Handle("facepad/adduser",
               "SN=V\tid=3\tdata={\"certnum\":\"C3\",\"Password\":\"top-"
               "secret\",\"x\":[{\"password\":\"secret\"}],\"n\":\"a\xff\"}");
  for (const std::string certnum : {"C1", "C2", "C3"}) {
    const std::string record = R"({"certnum":")" + certnum + R"(","password":"pw"})";
    client.Post("/facepad/adduser", "SN=T\tid=" + certnum + "\tdata=" + record, "text/plain");
  }
  client.Post("/facepad/binding", "SN=U\tch=1\tip=a\tport=b\tusername=u\tpassword=p", "text/plain");
  // A GET, a text its answer holds, and one it does not.
  const std::tuple<std::string, std::string, std::string> rows[] = {
      {"/admin/state", R"({"sn":"T","bound":false,"activated":false,)", ""},
      {"/admin/state", R"("persons":3},{"sn":"U","bound":true,"activated":false,)", ""},
      {"/admin/state", R"("next_result_codes":{"T":{"code":"105","count":2}})", ""},
      {"/admin/persons?sn=T&offset=1&limit=1",
       R"("total":3,"offset":1,"persons":[{"certnum":"C2",)", "C3"},
      {"/admin/persons?sn=T", R"("password":")", R"("pw")"},
      {"/admin/persons?sn=V", R"("C3")", "secret"},
      {"/admin/persons?sn=V", R"("C3")", "\xff"},
      {"/admin/photo?sn=V&certnum=C2", R"({"image":false,"bytes":12})", ""},
      {"/admin/journal?limit=2", "binding", "id=C2"},
      {"/admin/journal?path=adduser&limit=1", "id=C3", "id=C2"},
      {"/admin/journal?sn=T", "id=C1", "binding"},
  };
  for (const auto& [get, held, absent] : rows) {
    const auto answer = client.Get(get);
    ASSERT_TRUE(answer) << get;
    EXPECT_NE(answer->body.find(held), std::string::npos) << get << ": " << answer->body;
    EXPECT_TRUE(absent.empty() || answer->body.find(absent) == std::string::npos) << get;
  }
  EXPECT_EQ(client.Get("/admin/photo?sn=V&certnum=C1")->get_header_value("Content-Type"),
            "image/png");
}

// A journal's bodies elide photos and mask passwords; they are bounded in
// memory only.
TEST(SimulatorAdmin, JournalBodiesElidePhotosMaskPasswordsAndAreBoundedInMemoryOnly) {
  const std::pair<std::string, std::string> cases[] = {
      {"SN=T\tid=1\tdata={}\tfacepic=QUJDRA==", "SN=T\tid=1\tdata={}\tfacepic=<4 bytes>"},
      {R"(data={ "content": "QUJDREVG", "size": 6 })", R"(data={"content":"<6 bytes>","size":6})"},
      {R"(data={"password": "hunter2","name":"x"})", R"(data={"password":"••••••","name":"x"})"},
      {"SN=T\tusername=u\tpassword=s3cret", "SN=T\tusername=u\tpassword=••••••"},
      {"SN=T\tpassword=", "SN=T\tpassword="},
      // Passwords holding a quote, a backslash, an escape; a name escaped; a number.
      {R"(data={"password":"ab\"cd-secret"})", R"(data={"password":"••••••"})"},
      {R"(data={"password":"a\\\"b\\"})", R"(data={"password":"••••••"})"},
      {R"(data={"pass\u0077ord":"x\u0022y","user":{"Password":1234}})",
       R"(data={"password":"••••••","user":{"Password":"••••••"}})"},
      {"SN=T\tpassword=ab\tcd", "SN=T\tpassword=••••••"},
      // What cannot be read is masked from a password's name on.
      {R"(SN=T	data={"password":"ab\"cd-secret)", R"(SN=T	data={"password••••••)"},
      {"SN=T\tdata={\"password\":\"x\tid=leak\"}", "SN=T\tdata={\"password••••••"},
      {R"(data={"a":1} "password":"leak")", R"(data={"a":1} "password••••••)"},
      {"passwordleak", "password••••••"},
  };
  for (const auto& [body, shown] : cases) EXPECT_EQ(FacepadSim::ElidedBody(body), shown) << body;

  // In memory the journal keeps each body exact, or, given a bound, elided
  // and cut to it, at a character's start; its file has every body whole,
  // elided.
  const std::string name(5000, 'n');
  const std::string body = "SN=T\tid=1\tdata={\"name\":\"" + name +
                           "\",\"password\":\"pw\"}\tfacepic=" + std::string(8000, 'Q');
  const std::string shown =
      "SN=T\tid=1\tdata={\"name\":\"" + name + "\",\"password\":\"••••••\"}\tfacepic=<6000 bytes>";
  const auto cut = [&shown](std::size_t at) {
    return shown.substr(0, at) + "… " + std::to_string(shown.size() - at) + " bytes";
  };
  const std::size_t mask = shown.find("•");
  const std::size_t unbounded = static_cast<std::size_t>(-1);
  const TemporaryFolder dir;
  // The bound, the file ("" for none), and the body kept in memory. A file
  // that cannot take a line (a full disk) loses it, and the state counts it.
  const std::tuple<std::size_t, std::string, std::string> bounds[] = {
      {unbounded, dir / "whole.jsonl", body},
      {4096, dir / "bounded.jsonl", cut(4096)},
      {mask + 1, "", cut(mask)},
      {unbounded, "/dev/full", body},
  };
  for (const auto& [bound, file, kept] : bounds) {
    SCOPED_TRACE(file);
    FacepadSim::SimulatorOptions options;
    options.journalBodyLimit = bound;
    options.journalFile = file;
    {
      FacepadSim::FacepadSimulator simulator(options);
      httplib::Client client(simulator.Host(), simulator.Port());
      client.Post("/facepad/adduser", body, "text/plain");
      EXPECT_EQ(simulator.Journal().at(0).body, kept);
      const std::string lost =
          file == "/dev/full" ? R"("journal_lines_lost":1)" : R"("journal_lines_lost":0)";
      EXPECT_TRUE(WaitFor([&] { return Has(client.Get("/admin/state")->body, lost); }));
    }
    EXPECT_TRUE(file.empty() || file == "/dev/full" ||
                JsonLines(ReadFile(file)).at(0)["body"] == shown);
  }
}

namespace {

// A raw loopback TCP connection to `port`, which must be taken; closed on
// scope exit.
class RawClient {
 public:
  explicit RawClient(int port) {
    sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    EXPECT_EQ(connect(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  ~RawClient() { close(m_socket); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;
  void Send(const std::string& bytes) const {
    static_cast<void>(send(m_socket, bytes.data(), bytes.size(), MSG_NOSIGNAL));
  }
  // What arrives until the server closes the connection or is silent for `limit`.
  std::string ReadToEnd(std::chrono::milliseconds limit = 5s) const {
    const auto wait = std::chrono::duration_cast<std::chrono::microseconds>(Scaled(limit)).count();
    const timeval timeout{wait / 1000000, wait % 1000000};
    setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::string received;
    ssize_t n = 0;
    for (char buffer[4096]; (n = recv(m_socket, buffer, sizeof buffer, 0)) > 0;)
      received.append(buffer, static_cast<std::size_t>(n));
    return received + (n < 0 && errno == EAGAIN ? "<open>" : "<closed>");
  }

 private:
  int m_socket = socket(AF_INET, SOCK_STREAM, 0);
};

}  // namespace

// Stop() may come twice, and a simulator stopped (and then destroyed) leaves
// a later one on the same port and its connections alone.
TEST(SimulatorLimits, TheServiceOutlastsAStoppedOneAndClientsOverLimitsIdleSlowOrHeld) {
  auto earlier = std::make_unique<FacepadSim::FacepadSimulator>();
  FacepadSim::SimulatorOptions options;
  options.port = earlier->Port();
  options.maxBody = 1000;
  earlier->Stop();
  earlier->Stop();
  FacepadSim::FacepadSimulator simulator(options);
  httplib::Client keptAlive(simulator.Host(), simulator.Port());
  keptAlive.set_keep_alive(true);
  ASSERT_TRUE(keptAlive.Post("/facepad/active", "", "text/plain"));
  earlier.reset();
  ASSERT_TRUE(keptAlive.Post("/facepad/active", "", "text/plain"));
  EXPECT_EQ(simulator.ConnectionCount(), 1u);
  simulator.ClearJournal();

  // Over the limits: a body too large gets 413 and the connection closed, as
  // announced or as chunked. (A connection beyond the limit is closed at once:
  // HttpClientAtALimit tries that.)
  const std::string post = "POST /facepad/adduser HTTP/1.1\r\nHost: x\r\n";
  const std::string person = "SN=CUT\tid=1\tdata={\"certnum\":\"1\"}";
  // What follows the request line, and the status it gets before the
  // connection is closed. Nothing of any of them is served.
  const std::pair<std::string, const char*> requests[] = {
      {"Content-Length: 100000000\r\n\r\n", "413"},
      {"Content-Length: 100000000\r\nExpect: 100-continue\r\n\r\n", "413"},
      {"Transfer-Encoding: chunked\r\n\r\n7d1\r\n" + std::string(2001, 'x') + "\r\n", "413"},
      {"Content-Length: 80\r\n\r\n" + person, "400"},  // cut short
      {"Transfer-Encoding: chunked\r\n\r\nzz\r\nPOST /facepad/active HTTP/1.1\r\n\r\n", "400"},
      {"Transfer-Encoding: gzip, chunked\r\n\r\n", "400"},
      {"Content-Length: 0\r\nContent-Length: 36\r\n\r\n" + person, "400"},
      {"Origin: http://127.0.0.1:1\r\nOrigin: null\r\nContent-Length: 0\r\n\r\n", "400"},
      {"X-Long: " + std::string(20000, 'x'), "400"},  // a line that never ends
      {"\r\nGARBAGE\r\n\r\nPOST /facepad/active HTTP/1.1\r\n\r\n", "400"},
  };
  for (const auto& [rest, status] : requests) {
    const RawClient client(simulator.Port());
    client.Send((rest.rfind("\r\nGARBAGE", 0) == 0 ? "" : post) + rest);
    const std::string answer = client.ReadToEnd();
    EXPECT_EQ(answer.rfind(std::string("HTTP/1.1 ") + status, 0), 0u) << rest.substr(0, 60);
    EXPECT_EQ(answer.find("HTTP/1.1", 1), std::string::npos) << "one answer only: " << answer;
    EXPECT_NE(answer.find("<closed>"), std::string::npos) << answer;
  }
  EXPECT_TRUE(simulator.Journal().empty());
  EXPECT_EQ(simulator.Model().PersonCount("CUT"), 0u);

  // A request without a length has no body: what follows it is the next.
  const RawClient unannounced(simulator.Port());
  unannounced.Send(
      "POST /facepad/active HTTP/1.1\r\n\r\n"
      "POST /facepad/active HTTP/1.1\r\nConnection: close\r\n\r\n");
  const std::string answers = unannounced.ReadToEnd(1s);
  EXPECT_EQ(answers.rfind("HTTP/1.1 200", 0), 0u) << answers;
  EXPECT_NE(answers.find("HTTP/1.1 200", 1), std::string::npos) << answers;

  // Idle and slow clients, and a request a fault holds, hold a connection
  // each, not the service: a normal request is still answered at once, and a
  // client that sends a header line every 3 s is cut after 2 s of silence.
  simulator.AddFault(FacepadSim::Fault::Delayed(std::chrono::seconds(30)).On("facepad/setuser"));
  const RawClient held(simulator.Port());
  held.Send("POST /facepad/setuser HTTP/1.1\r\nContent-Length: 4\r\n\r\nSN=T");
  ASSERT_TRUE(WaitFor([&] { return simulator.Requests("facepad/setuser").size() == 1; }));
  std::deque<RawClient> clients;
  for (int i = 0; i < 70 + 64; ++i) {
    clients.emplace_back(simulator.Port());
    if (i >= 70) clients.back().Send("POST /facepad/active HTTP/1.1\r\n");
  }
  const RawClient normal(simulator.Port());
  normal.Send("POST /facepad/active HTTP/1.1\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(normal.ReadToEnd(1s).rfind("HTTP/1.1 200", 0), 0u) << "answered within a second";

  const RawClient slow(simulator.Port());
  const auto sent = std::chrono::steady_clock::now();
  slow.Send("POST /facepad/active HTTP/1.1\r\nHost: x\r\n");
  EXPECT_NE(slow.ReadToEnd(3s).find("<closed>"), std::string::npos) << "cut before its next line";
  EXPECT_GT(std::chrono::steady_clock::now() - sent, 1500ms);

  // A body trickled a byte a second is cut 10 s after the request began.
  const RawClient trickle(simulator.Port());
  const auto began = std::chrono::steady_clock::now();
  trickle.Send("POST /facepad/active HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\n");
  std::string answer400 = "<open>";
  while (answer400 == "<open>" &&
         std::chrono::steady_clock::now() - began < std::chrono::seconds(20)) {
    trickle.Send("x");
    answer400 = trickle.ReadToEnd(1s);
  }
  EXPECT_NE(answer400.find(" 400 "), std::string::npos) << answer400;
  EXPECT_LT(std::chrono::steady_clock::now() - began, 14s);
}

// The service's behaviour alone, without a server.
namespace {
using FacepadSim::ServiceModel;

const std::string kC1 = R"( data={"certnum":"C1"})";
const std::string kPhoto = R"( data={"certnum":"C1","content":"QUJD","size":3})";
const std::string kBind = " SN=T\tch=1\tip=10.0.0.9\tport=80\tusername=u\tpassword=p";

// Posts each step ("adduser data=...") to `model`, with "SN=T\tid=N\t" put in
// front (N the step's number) unless its body starts with "SN=". Returns the
// results queued, "id:code" in order, by serial number (T's without it), and
// hands them out.
std::string Post(ServiceModel& model, const std::vector<std::string>& steps) {
  for (std::size_t number = 1; number <= steps.size(); ++number) {
    const std::string& step = steps[number - 1];
    const std::size_t space = step.find(' ');
    std::string body = space == std::string::npos ? "" : step.substr(space + 1);
    if (body.rfind("SN=", 0) != 0)
      body = "SN=T\tid=" + std::to_string(number) + (body.empty() ? "" : "\t" + body);
    const ServiceModel::Answer answer = model.Handle("facepad/" + step.substr(0, space), body);
    EXPECT_EQ(answer.status, 200) << step << ": " << answer.body;
  }
  std::string codes;
  for (const auto& [sn, entries] : model.PendingResults()) {
    for (const FacepadSim::ResultEntry& entry : entries) {
      codes +=
          (codes.empty() ? "" : " ") + (sn == "T" ? "" : sn + "/") + entry.id + ":" + entry.code;
    }
  }
  model.Handle("facepad/getresult", "");
  return codes;
}
}  // namespace

TEST(SimulatorModel, QueuesEachOperationsOwnCode) {
  const std::pair<std::vector<std::string>, std::string> rows[] = {
      {{"adduser" + kC1, "adduser" + kC1 + " \r\n"}, "1:0 2:101"},  // white space may follow data
      {{"setuser" + kC1, "adduser" + kC1, "setuser" + kC1}, "1:102 2:0 3:0"},
      {{"deluser" + kC1, "adduser" + kC1, "deluser" + kC1, "deluser" + kC1}, "1:102 2:0 3:0 4:102"},
      {{"adduser data={}", R"(setuser data={"certnum":""})", "deluser data={}",
        "setfacepic data={}"},
       "1:103 2:103 3:103 4:103"},
      {{"setfacepic" + kPhoto, "adduser" + kC1, "setfacepic" + kC1, "setfacepic" + kPhoto},
       "1:102 2:0 3:104 4:0"},
      // A terminal bound is not activated, nor one activated bound.
      {{"binding" + kBind, "activationstatus", "active data={}", "activationstatus"},
       "2:105 3:0 4:0"},
      {{"active data={}", "controldevice data={}", "binding" + kBind, "controldevice data={}",
        "unbinding SN=T", "controldevice data={}"},
       "1:0 2:106 4:0 6:106"},
      // Each terminal holds its own persons.
      {{"adduser SN=U\tid=1\t" + kC1.substr(1), "setuser" + kC1}, "2:102 U/1:0"},
  };
  for (const auto& [steps, codes] : rows) {
    ServiceModel model;
    EXPECT_EQ(Post(model, steps), codes) << steps.front();
  }
}

TEST(SimulatorModel, RefusesMissingFieldsAndDataThatIsNoObjectAndTakesValuesRaw) {
  const std::string tooLong(257, 'x');
  // The endpoint, the body, and the answer's status and body.
  const std::tuple<std::string, std::string, int, std::string> rows[] = {
      {"adduser", "id=1\tdata={}", 400, "missing field: SN"},
      {"deluser", "SN=T\tid=1", 400, "missing field: data"},
      {"getterminalstatus", "sn=T\tSNX=T", 400, "missing field: SN"},
      {"binding", "SN=T\tch=1\tip=a\tport=b\tusername=u", 400, "missing field: password"},
      {"setport", "port=1", 400, "missing field: reset"},
      {"active", "SN=T", 400, "missing field: id"},
      {"adduser", "SN=T\tid=1\tdata=", 400, "data is not a JSON object"},
      {"setuser", "SN=T\tid=1\tdata={\"certnum\":", 400, "data is not a JSON object"},
      {"setfacepic", "SN=T\tid=1\tdata=[{}]", 400, "data is not a JSON object"},
      {"controldevice", "SN=T\tid=1\tdata=\"C1\"", 400, "data is not a JSON object"},
      {"deluser", "SN=T\tid=1\tdata={} {}", 400, "data is not a JSON object"},
      {"deluser", "SN=T\tid=" + tooLong + "\tdata={}", 400, "id is longer than 256 bytes"},
      {"active", "SN=" + tooLong + "\tid=1\tdata={}", 400, "SN is longer than 256 bytes"},
      {"nothing", "", 404, "unknown endpoint: facepad/nothing"},
      {"active", "", 200, "ok"},
  };
  ServiceModel model;
  for (const auto& [path, body, status, text] : rows) {
    const ServiceModel::Answer answer = model.Handle("facepad/" + path, body);
    EXPECT_EQ(answer.status, status) << path << " " << body;
    EXPECT_EQ(answer.body, text) << path << " " << body;
  }
  EXPECT_TRUE(model.Terminals().empty());
  EXPECT_TRUE(model.PendingResults().empty());

  // Values travel raw: "&", "=", "%" and "+" are theirs, and a tab belongs to
  // the value unless a known field's name and "=" follow it.
  const std::vector<std::string_view> names = {"SN", "id", "data", "facepic"};
  const std::pair<std::string, std::map<std::string, std::string>> bodies[] = {
      {"SN=T\tx=1\tid=\tdata=a\tb", {{"SN", "T\tx=1"}, {"id", ""}, {"data", "a\tb"}}},
      {"junk\tSN=T\tSN=U\tSNX=1", {{"SN", "T"}}},
      {"", {}},
  };
  for (const auto& [body, fields] : bodies)
    EXPECT_EQ(FacepadSim::ParseFormBody(body, names), fields);

  for (const std::string value : {"a&b=c", "50%+1", "%41+%2B", "=", "&id=2"}) {
    const std::string record = R"({"certnum":")" + value + R"(","name":")" + value + "\"}";
    model.Handle("facepad/adduser", "SN=" + value + "\tid=" + value + "\tdata=" + record +
                                        "\tfacepic=" + value + "+/=");
    const auto person = model.FindPerson(value, value).value_or(FacepadSim::Person{});
    EXPECT_EQ(person.record, record);
    EXPECT_EQ(person.facepic, value + "+/=");
    EXPECT_EQ(model.PendingResults().at(value).at(0).id, value);
  }
}

// A poll hands out at most 10,000 results, and fewer bytes than the
// adaptor's cap; the rest wait for the next.
TEST(SimulatorModel, APollIsBoundedInResultsAndInBytes) {
  ServiceModel model;
  for (int i = 0; i <= 10000; ++i) model.QueueResult("T", std::to_string(i), "0");
  const auto handed = [&model] {
    return Count(model.Handle("facepad/getresult", "").body, R"(\"id\")");
  };
  EXPECT_EQ(handed(), static_cast<int>(ServiceModel::kResultsPerPoll));
  EXPECT_EQ(handed(), 1);
  EXPECT_EQ(handed(), 0);
  for (int i = 0; i < 9000; ++i)
    model.QueueResult("T", std::to_string(i) + std::string(250, 'i'), "0");
  EXPECT_LT(model.Handle("facepad/getresult", "").body.size(), ServiceModel::kResultBytesPerPoll);
  EXPECT_GT(model.Handle("facepad/getresult", "").body.size(), 1000u) << "the rest come next";
}

TEST(SimulatorModel, CodesSetCountDownThenGiveWay) {
  // The code every operation reports, how many of T's next report 105, and
  // the codes of adding C1, C2 and C1 again: the operations still happen.
  const std::tuple<std::optional<std::string>, int, std::string> rows[] = {
      {std::nullopt, 0, "1:0 2:0 3:101"},
      {std::nullopt, 2, "1:105 2:105 3:101"},
      {"7", 0, "1:7 2:7 3:7"},
      {"7", 1, "1:105 2:7 3:7"},
  };
  for (const auto& [every, next, codes] : rows) {
    ServiceModel model;
    model.SetResultCode(every);
    model.SetNextResultCodes("T", "105", next);
    model.SetNextResultCodes("U", "104", 5);
    EXPECT_EQ(Post(model, {"adduser" + kC1, R"(adduser data={"certnum":"C2"})", "adduser" + kC1}),
              codes);
    EXPECT_EQ(model.ResultCodesSet().every, every);
    EXPECT_EQ(model.ResultCodesSet().next,  // T's used up
              (decltype(ServiceModel::ResultCodes::next){{"U", {"104", 5}}}));
    model.SetResultCode(std::nullopt);
    model.SetNextResultCodes("T", "105", 3);
    model.SetNextResultCodes("T", "105", 0);  // cancels
    EXPECT_EQ(Post(model, {"deluser" + kC1}), "1:0");
  }
}

// Only adding a person, activating and binding make a terminal known, and a
// reset forgets all the service holds and all that was set.
TEST(SimulatorModel, MakesNoTerminalUnaskedAndResetForgetsEverything) {
  ServiceModel model;
  Post(model, {"getterminalstatus SN=T", "getresult SN=T", "activationstatus", "setuser" + kC1,
               "deluser" + kC1, "setfacepic" + kPhoto, "controldevice data={}", "unbinding SN=T",
               "setport port=9\treset=1"});
  EXPECT_TRUE(model.Terminals().empty());
  Post(model, {"adduser" + kC1, "active SN=U\tid=2\tdata={}", "binding SN=V" + kBind.substr(5)});
  EXPECT_EQ(model.Terminals().size(), 3u) << "T, U and V";
  model.QueueResult("T", "q", "0");
  model.QueueResultAnswer("result=junk");
  model.SetTerminalStatusAnswer("Data=junk");
  model.SetResultCode("7");
  model.SetNextResultCodes("T", "105", 2);
  model.Reset();
  EXPECT_TRUE(model.Terminals().empty());
  EXPECT_TRUE(model.HandedOut().empty());
  EXPECT_FALSE(model.ListenPortRequest());
  EXPECT_EQ(model.Handle("facepad/getresult", "").body, "result=[]");
  EXPECT_EQ(model.Handle("facepad/getterminalstatus", "SN=V").body,
            R"(Data=[{"sn":"V","connstatus":0}])");
  EXPECT_EQ(Post(model, {"adduser" + kC1}), "1:0") << "C1 forgotten, and no code set";
}

namespace {
// The fault `text` parses to, shown as given ("PATH=FAULT") and as played
// (what was given left out); or "refused" and why.
std::pair<std::string, std::string> Shown(const std::string& text) {
  auto parsed = FacepadSim::ParseFault(text);
  auto* fault = std::get_if<FacepadSim::Fault>(&parsed);
  if (fault == nullptr) return {"refused", std::get<std::string>(parsed)};
  const std::string given = (fault->path.empty() ? "*" : fault->path) + "=" + FaultRuleText(*fault);
  fault->given.clear();
  return {given, FaultRuleText(*fault)};
}
}  // namespace

TEST(SimulatorFaultRule, ParsedAndShownBack) {
  // The text, and the fault as it is played (written as for a fault built in code).
  const std::pair<std::string, std::string> rows[] = {
      {"facepad/adduser=500*3", "500*3"},
      {"*=close", "close"},
      {"facepad/getresult=hang:2.5*1", "hang:2.5*1"},
      {"*=hang:0.0005", "hang:0.001"},
      {"*=drip:600", "drip:600"},
      {"*=garbage*1000000000", "garbage*1000000000"},
  };
  for (const auto& [text, played] : rows) {
    EXPECT_EQ(Shown(text), std::make_pair(text, played));
    // A fault built in code is shown as text that parses to the same fault.
    EXPECT_EQ(Shown("*=" + played).second, played);
  }

  // Texts refused, and a word of the reason each is.
  const std::pair<std::vector<std::string>, std::string> refused[] = {
      {{"facepad/adduser", "=500"}, "PATH=ACTION"},
      {{"adduser=500"}, "not an endpoint"},
      {{"facepad/adduser=600"}, "not a fault"},
      {{"facepad/adduser=500:1"}, "no argument"},
      // hang:0.0004 rounds to no wait at all.
      {{"*=hang:0", "*=hang:0.0004", "*=hang:3601", "*=hang:1e0"}, "hang takes"},
      {{"*=drip:+5", "*=drip:0", "*=drip:1001"}, "drip takes"},
      {{"*=500*0", "*=500*1*2", "*=500*1000000001"}, "count"},
  };
  for (const auto& [texts, reason] : refused) {
    for (const std::string& text : texts) {
      const auto [shown, why] = Shown(text);
      EXPECT_TRUE(shown == "refused" && Has(why, reason)) << text << ": " << why;
    }
  }
}
