// kadro serve: the plug-in's panels, presets and crops in the browser.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <iostream>
#include <string>
#include <thread>

#include "app/commands.h"
#include "app/host_session.h"
#include "app/web_server.h"

extern char** environ;

namespace kadro::app {
namespace {

constexpr char kCommand[] = "serve";

void printUsage(std::ostream& out) {
  out << "Usage: kadro serve [--port N] [--no-browser] [--max-upload MB] [--bundle DIR]\n\n"
         "Runs Kadro as a web page on this machine: the preset editor with its icons,\n"
         "exports into a folder, cropping photos in place, and why a photo was cropped\n"
         "as it was. The server answers only 127.0.0.1 and only the browser that opened\n"
         "the address it prints (the address carries a fresh token each time).\n"
         "Ctrl-C stops it; a running export stops after the photo being worked on.\n\n"
         "Options:\n"
         "  --port N      listen on port N (default: any free port)\n"
         "  --no-browser  print the address without opening a browser\n"
         "  --max-upload MB  the largest photo a page may upload (default 64)\n"
         "  --bundle DIR  load this Kadro.plugin bundle instead of the installed one\n"
         "  -h, --help    show this help\n";
}

// Opens the address in the desktop's browser without waiting for it.
void openBrowser(const std::string& url) {
  const char* argv[] = {"xdg-open", url.c_str(), nullptr};
  pid_t pid;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  if (posix_spawnp(&pid, "xdg-open", &actions, nullptr, const_cast<char**>(argv), environ) != 0)
    std::cerr << "kadro serve: cannot start xdg-open; open the address by hand\n";
  else
    std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
  posix_spawn_file_actions_destroy(&actions);
}

}  // namespace

int runServe(const Args& input) {
  Args args = input;
  if (wantsHelp(args)) {
    printUsage(std::cout);
    return 0;
  }
  const auto bundle = takeBundleOption(args, kCommand);
  if (!bundle) return 2;
  WebServerOptions options;
  options.bundle = *bundle;
  options.webRoot = defaultWebRoot();
  bool browser = true;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--no-browser") {
      browser = false;
    } else if (args[i] == "--max-upload") {
      const std::string text = i + 1 < args.size() ? args[++i] : "";
      char* end = nullptr;
      const long megabytes = std::strtol(text.c_str(), &end, 10);
      if (text.empty() || *end != '\0' || megabytes < 1 || megabytes > 4096) {
        std::cerr << "kadro serve: --max-upload takes megabytes from 1 to 4096\n";
        return 2;
      }
      options.uploadLimit = static_cast<std::size_t>(megabytes) << 20;
    } else if (args[i] == "--port") {
      if (i + 1 == args.size()) {
        std::cerr << "kadro serve: --port needs a number\n";
        return 2;
      }
      const std::string& text = args[++i];
      char* end = nullptr;
      const long port = std::strtol(text.c_str(), &end, 10);
      if (text.empty() || *end != '\0' || port < 1 || port > 65535) {
        std::cerr << "kadro serve: --port takes a number from 1 to 65535, not " << text << "\n";
        return 2;
      }
      options.port = static_cast<int>(port);
    } else {
      std::cerr << "kadro serve: unknown argument " << args[i] << " (see kadro serve --help)\n";
      return 2;
    }
  }

  // Ctrl-C and SIGTERM go to one thread that stops the server; every other
  // thread, the server's included, keeps them blocked.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  auto session = openSession(*bundle, kCommand);
  if (!session) return 1;
  std::string error;
  auto server = WebServer::create(std::move(*session), options, &error);
  if (!server) {
    std::cerr << "kadro serve: " << error << "\n";
    return 1;
  }
  std::thread waiter([&server, stopSignals] {
    int signal = 0;
    sigwait(&stopSignals, &signal);
    server->stop();
  });
  std::cout << "Kadro is running at " << server->startUrl() << std::endl;
  if (browser) openBrowser(server->startUrl());
  const bool ok = server->run();
  if (!ok) {
    std::cerr << "kadro serve: the server stopped listening on port " << server->port() << "\n";
    // Ends the waiting thread.
    kill(getpid(), SIGTERM);
  }
  waiter.join();
  server.reset();
  std::cout << "Kadro stopped." << std::endl;
  return ok ? 0 : 1;
}

}  // namespace kadro::app
