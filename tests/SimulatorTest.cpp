// The simulator's admin API over HTTP: who may use it, what it shows, and
// that a request a fault holds holds nothing else.
#include <httplib.h>

#include <thread>

#include "Journal.h"
#include "TestAdaptor.h"

// The admin API answers on the simulator's own address, and an admin POST is
// taken only with JSON and a Host naming it: a page from elsewhere cannot
// script the simulator.
TEST(SimulatorAdmin, PostsNeedJsonAndThisHost) {
  FacepadSim::FacepadSimulator simulator;
  httplib::Client client(simulator.Host(), simulator.Port());
  const std::string own = simulator.Host() + ":" + std::to_string(simulator.Port());
  // The Host header, the content type, and the status answered.
  const std::tuple<std::string, std::string, int> cases[] = {
      {own, "application/json", 200},
      {"localhost:" + std::to_string(simulator.Port()), "application/json", 200},
      {"attacker.example", "application/json", 403},
      {own, "text/plain", 403},
  };
  for (const auto& [host, type, status] : cases) {
    const auto answer = client.Post("/admin/faults", {{"Host", host}},
                                    R"({"fault":"facepad/setuser=500*1"})", type);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, status) << host << " " << type;
    EXPECT_FALSE(answer->has_header("Access-Control-Allow-Origin"));
  }
  EXPECT_EQ(simulator.Faults().size(), 2u);
  const auto bad =
      client.Post("/admin/faults", R"({"fault":"facepad/setuser=frob"})", "application/json");
  EXPECT_EQ(bad->status, 400);
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
       R"(SN=T	id=2	data={ "certnum": "C1", "content": "<6 bytes>", "size": 6 })"},
      {R"(SN=T	id=3	data={"password": "hunter2","name":"x"})",
       R"(SN=T	id=3	data={"password": "••••••","name":"x"})"},
      {"SN=T\tch=1\tip=a\tport=b\tusername=u\tpassword=s3cret",
       "SN=T\tch=1\tip=a\tport=b\tusername=u\tpassword=••••••"},
      {"SN=T\tpassword=", "SN=T\tpassword="},
  };
  for (const auto& [body, shown] : cases) EXPECT_EQ(FacepadSim::ElidedBody(body), shown);
}
