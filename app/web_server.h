// kadro serve: the photo editor's panels, presets and exports as a web page
// on this machine. The server is the host: it loads the plug-in bundle and
// drives it only through the host layer, one host operation at a time, and
// answers only the page it handed its random token to.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "app/host_session.h"

namespace kadro::app {

struct WebServerOptions {
  std::string bundle;   // the Kadro.plugin folder (for its logo)
  std::string webRoot;  // the folder with the page's files
  int port = 0;         // 0: any free port
  // The largest photo a page may upload, in bytes.
  std::size_t uploadLimit = 64u << 20;
};

class WebServer {
 public:
  // Nothing, with the cause in `error`, when the port cannot be had or the
  // page's files or a scratch folder are missing.
  static std::unique_ptr<WebServer> create(HostSession session, const WebServerOptions& options,
                                           std::string* error);
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  int port() const;
  const std::string& token() const;
  // "http://127.0.0.1:PORT/#token=TOKEN": the address that lets a browser in.
  std::string startUrl() const;

  // Answers requests until stop(); false when listening failed.
  bool run();
  // From any thread but a signal handler: cancels a running task, waits for
  // it to end at the file being worked on, and makes run() return.
  void stop();

 private:
  struct State;
  explicit WebServer(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// The page's files: share/kadro/web beside the program's bin/.
std::string defaultWebRoot();

}  // namespace kadro::app
