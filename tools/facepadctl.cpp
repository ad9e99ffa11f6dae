// facepadctl: talks to a facepad service through the adaptor.
#include <CLI/CLI.hpp>

#include <cstdio>

#include "TerminalFace_ZR.h"
#include "ToolKits.h"

int main(int argc, char** argv) {
  CLI::App app{"facepadctl: drive a facepad service through the TerminalFace_ZR adaptor"};
  std::string host = "127.0.0.1";
  int port = 10003;
  bool verbose = false;
  app.add_option("--host", host, "address of the facepad service")->capture_default_str();
  app.add_option("--port", port, "port of the facepad service")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  app.add_flag("-v,--verbose", verbose, "print the adaptor's log records on stderr");
  app.require_subcommand(1);
  CLI::App* available = app.add_subcommand("available", "ask whether the service answers");
  CLI11_PARSE(app, argc, argv);

  if (!verbose) ko_libos_log_debug_ex = nullptr;
  ZR_Framework::Face::TerminalFace_ZR adaptor;
  adaptor.SetUrl(host);
  adaptor.SetRequestPort(port);
  if (available->parsed()) {
    ZR_Framework::Face::ParamMap params;
    const bool ok = adaptor.GetAvailableFace(params);
    std::printf("%s\n", ok ? "available" : "not available");
    return ok ? 0 : 1;
  }
  return 2;
}
