#include "FaultPlayback.h"

#include <httplib.h>

#include <algorithm>
#include <memory>

#include "Connections.h"

namespace FacepadSim {
namespace {

// A body of `x`s streamed in chunks of this, so that no size costs memory.
const std::string& Chunk() {
  static const std::string chunk(std::size_t{64} * 1024, 'x');
  return chunk;
}

void Status(const Fault& fault, httplib::Response& response) {
  response.status = fault.status;
  response.set_content(fault.body, "text/plain");
}

void Oversized(const Fault& fault, httplib::Response& response) {
  response.set_content_provider(
      fault.bytes, "text/plain", [](size_t /*offset*/, size_t length, httplib::DataSink& sink) {
        return sink.write(Chunk().data(), std::min(length, Chunk().size()));
      });
}

// Chunked, so that the client cannot tell the size from the headers.
void Endless(httplib::Response& response, const StopSignal& stop) {
  response.set_chunked_content_provider(
      "text/plain", [&stop](size_t /*offset*/, httplib::DataSink& sink) {
        return !stop.Raised() && sink.write(Chunk().data(), Chunk().size());
      });
}

// The extra answer follows the announced body on the same connection.
void Unsolicited(const Fault& fault, httplib::Response& response, const StopSignal& stop) {
  response.status = fault.status;
  response.set_content_provider(
      fault.body.size(), "text/plain",
      [&stop, body = fault.body](size_t /*offset*/, size_t /*length*/, httplib::DataSink& sink) {
        static const std::string extra = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
        // A pause first, so that the client has read the answer it asked for.
        return sink.write(body.data(), body.size()) &&
               stop.WaitUnlessRaised(std::chrono::milliseconds(20)) &&
               sink.write(extra.data(), extra.size());
      });
}

// Half the body goes out, then the connection is reset.
void Reset(const Fault& fault, httplib::Response& response) {
  response.set_content_provider(
      fault.body.size(), "text/plain",
      [body = fault.body](size_t offset, size_t /*length*/, httplib::DataSink& sink) {
        if (offset == 0) sink.write(body.data(), body.size() / 2);
        EndThisConnection(Ending::Reset);
        return false;
      });
}

// Without a body of its own, the fault drips the service's own answer. Each
// byte goes out on a schedule kept from the first, so that the rate holds
// whatever it is, not only whole milliseconds a byte.
void Drip(const Fault& fault, const std::string& path, const httplib::Request& request,
          httplib::Response& response, ServiceModel& model, const StopSignal& stop) {
  std::string body = fault.body;
  if (body.empty()) {
    ServiceModel::Answer answer = model.Handle(path, request.body);
    response.status = answer.status;
    body = std::move(answer.body);
  }
  const std::chrono::duration<double> perByte(1.0 / std::max(fault.bytesPerSecond, 1e-3));
  auto start = std::make_shared<std::chrono::steady_clock::time_point>();
  response.set_content_provider(
      body.size(), "text/plain",
      [&stop, body, perByte, start](size_t offset, size_t /*length*/, httplib::DataSink& sink) {
        if (offset == 0) *start = std::chrono::steady_clock::now();
        const auto due = *start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                      perByte * static_cast<double>(offset + 1));
        return sink.write(body.data() + offset, 1) && stop.WaitUnlessRaised(due);
      });
}

}  // namespace

bool PlayFault(const Fault& fault, const std::string& path, const httplib::Request& request,
               httplib::Response& response, ServiceModel& model, const StopSignal& stop) {
  switch (fault.action) {
    case Fault::Action::Status:
      Status(fault, response);
      return true;
    case Fault::Action::Delay:
      if (stop.WaitUnlessRaised(fault.delay)) return false;
      response.status = 503;
      return true;
    case Fault::Action::Close:
      EndThisConnection(Ending::Shutdown);
      return true;
    case Fault::Action::Oversized:
      Oversized(fault, response);
      return true;
    case Fault::Action::Endless:
      Endless(response, stop);
      return true;
    case Fault::Action::Unsolicited:
      Unsolicited(fault, response, stop);
      return true;
    case Fault::Action::Reset:
      Reset(fault, response);
      return true;
    case Fault::Action::Drip:
      Drip(fault, path, request, response, model, stop);
      return true;
  }
  return false;
}

}  // namespace FacepadSim
