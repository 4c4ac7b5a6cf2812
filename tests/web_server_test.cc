// kadro serve, run as the program on a free loopback port and spoken to
// over HTTP as a browser (or a hostile page) would.
#include <fcntl.h>
#include <httplib.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Plugin/file_url.h"
#include "gtest/gtest.h"
#include "tests/plugin_test_support.h"

namespace kadro::testing {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

constexpr char kId[] = "io.kadro.KadroPlugin.";

// `kadro serve --no-browser` with its own preset store and home folder.
class Serve {
 public:
  explicit Serve(const fs::path& home, std::vector<std::string> extra = {}) : home_(home) {
    fs::create_directories(home / "config");
    int out[2];
    EXPECT_EQ(pipe(out), 0);
    pid_ = fork();
    if (pid_ == 0) {
      // A test that dies takes its server along.
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      dup2(out[1], STDOUT_FILENO);
      close(out[0]);
      close(out[1]);
      setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
      setenv("HOME", home.c_str(), 1);
      const std::string program = std::string(KADRO_STAGE_DIR) + "/bin/kadro";
      std::vector<std::string> args = {program, "serve", "--no-browser"};
      args.insert(args.end(), extra.begin(), extra.end());
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    close(out[1]);
    output_ = fdopen(out[0], "r");
    char line[512] = {};
    if (output_ && fgets(line, sizeof line, output_)) firstLine_ = line;
    std::smatch match;
    if (std::regex_match(
            firstLine_, match,
            std::regex(
                R"(Kadro is running at http://127\.0\.0\.1:(\d+)/#token=([0-9a-f]{32,})\n)"))) {
      port_ = std::stoi(match[1]);
      token_ = match[2];
    }
  }

  ~Serve() { stop(); }

  // SIGTERM, then the exit status (-1 when it did not exit by itself).
  int stop() {
    if (pid_ <= 0) return status_;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    if (output_) fclose(output_);
    output_ = nullptr;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return status_;
  }

  const std::string& firstLine() const { return firstLine_; }
  int port() const { return port_; }
  const std::string& token() const { return token_; }
  const fs::path& home() const { return home_; }

  // A client that shows the token, as the page does.
  httplib::Client client() const {
    httplib::Client c("127.0.0.1", port_);
    c.set_default_headers({{"X-Kadro-Token", token_}});
    c.set_read_timeout(120, 0);
    return c;
  }

  json presetsStored() const {
    const ProgramRun run = runKadro("presets --json", home_ / "config");
    EXPECT_EQ(run.status, 0) << run.err;
    return json::parse(run.out, nullptr, false);
  }

 private:
  fs::path home_;
  pid_t pid_ = -1;
  FILE* output_ = nullptr;
  std::string firstLine_;
  int port_ = 0;
  std::string token_;
  int status_ = -1;
};

json body(const httplib::Result& result) {
  if (!result) return json();
  return json::parse(result->body, nullptr, false);
}

httplib::Result post(httplib::Client& client, const std::string& path, const json& payload) {
  return client.Post(path.c_str(), payload.dump(), "application/json");
}

TEST(WebServer, AnswersOnlyTheTokenHolderOfThisMachine) {
  TempFolder home;
  Serve serve(home.path());
  ASSERT_GT(serve.port(), 0) << "first line: " << serve.firstLine();

  // The page itself is served to anyone on the machine but holds no data.
  httplib::Client bare("127.0.0.1", serve.port());
  auto page = bare.Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_EQ(page->body.find("Hexagon"), std::string::npos);

  // Everything else asks for the token.
  for (const char* path : {"/api/preferences", "/app.js", "/api/photos", "/api/logo"}) {
    auto refused = bare.Get(path);
    ASSERT_TRUE(refused) << path;
    EXPECT_EQ(refused->status, 401) << path;
    EXPECT_FALSE(body(refused).value("message", "").empty()) << path;
  }
  httplib::Client wrong("127.0.0.1", serve.port());
  wrong.set_default_headers({{"X-Kadro-Token", std::string(serve.token().size(), '0')}});
  EXPECT_EQ(wrong.Get("/api/preferences")->status, 401);
  httplib::Client shortToken("127.0.0.1", serve.port());
  shortToken.set_default_headers({{"X-Kadro-Token", serve.token().substr(1)}});
  EXPECT_EQ(shortToken.Get("/api/preferences")->status, 401);

  // The token buys a cookie that works on its own afterwards.
  auto client = serve.client();
  auto session = client.Post("/api/session");
  ASSERT_TRUE(session);
  ASSERT_EQ(session->status, 200);
  const std::string cookie = session->get_header_value("Set-Cookie");
  EXPECT_NE(cookie.find("HttpOnly"), std::string::npos);
  EXPECT_NE(cookie.find("SameSite=Strict"), std::string::npos);
  httplib::Client withCookie("127.0.0.1", serve.port());
  withCookie.set_default_headers({{"Cookie", "other=1; " + cookie.substr(0, cookie.find(';'))}});
  auto panels = withCookie.Get("/api/preferences");
  ASSERT_TRUE(panels);
  EXPECT_EQ(panels->status, 200);
  EXPECT_EQ(body(panels)["panels"][0]["elements"][0]["identifier"],
            std::string(kId) + "preset-list");

  // Other sites cannot ride on the cookie, nor reach it by a name that
  // resolves here (DNS rebinding), not even with the token.
  auto fromElsewhere = client.Get("/api/preferences", {{"Origin", "http://example.com"}});
  EXPECT_EQ(fromElsewhere->status, 403);
  auto crossSite = client.Get("/api/preferences", {{"Sec-Fetch-Site", "cross-site"}});
  EXPECT_EQ(crossSite->status, 403);
  auto rebound = client.Get("/api/preferences",
                            {{"Host", "attacker.example:" + std::to_string(serve.port())}});
  EXPECT_EQ(rebound->status, 403);
  auto rebound2 = client.Post("/api/preferences/event",
                              {{"Host", "attacker.example:" + std::to_string(serve.port())}},
                              R"({"identifier":"x","event":"press"})", "application/json");
  EXPECT_EQ(rebound2->status, 403);
  auto sameOrigin = client.Get("/api/preferences",
                               {{"Origin", "http://127.0.0.1:" + std::to_string(serve.port())}});
  EXPECT_EQ(sameOrigin->status, 200);

  // A second run hands out another token.
  TempFolder otherHome;
  Serve other(otherHome.path());
  EXPECT_NE(other.token(), serve.token());
  EXPECT_NE(other.port(), serve.port());

  // SIGTERM ends it cleanly.
  EXPECT_EQ(serve.stop(), 0);
}

TEST(WebServer, EventsThatCannotGoToThePlugInAreRefusedWithAMessage) {
  TempFolder home;
  Serve serve(home.path());
  ASSERT_GT(serve.port(), 0);
  auto client = serve.client();
  const std::string name = std::string(kId) + "preset-name";
  const json before = serve.presetsStored();

  const auto refused = [&](const std::string& payload, int status) {
    auto result = client.Post("/api/preferences/event", payload, "application/json");
    ASSERT_TRUE(result) << payload;
    EXPECT_EQ(result->status, status) << payload << " -> " << result->body;
    EXPECT_FALSE(body(result).value("message", "").empty()) << payload;
  };
  refused("{not json", 400);
  refused("[]", 400);
  refused(R"({"value": "x"})", 400);
  refused(R"({"identifier": "", "value": "x"})", 400);
  refused(R"({"identifier": ")" + name + R"(", "value": "x", "event": "press"})", 400);
  refused(R"({"identifier": ")" + name + R"(", "event": "click"})", 400);
  refused(R"({"identifier": ")" + name + R"(", "value": "x", "revision": "latest"})", 400);
  refused(R"({"identifier": "io.kadro.KadroPlugin.no-such-field", "value": "x"})", 404);
  refused(R"({"identifier": ")" + name + R"(", "value": 5})", 422);
  refused(R"({"identifier": ")" + name + R"(", "value": "two\nlines"})", 422);
  refused(R"({"identifier": ")" + name + R"(", "event": "press"})", 422);
  refused(R"({"identifier": ")" + std::string(kId) + R"(crop-border-enabled", "value": "yes"})",
          422);
  refused(R"({"identifier": ")" + std::string(kId) + R"(preset-list", "value": "Nope"})", 422);
  refused(R"({"identifier": ")" + std::string(kId) + R"(save-button", "value": "x"})", 422);

  // The plug-in's own refusal comes back as its error, beside the element.
  auto duplicate = post(client, "/api/preferences/event",
                        {{"identifier", std::string(kId) + "save-new-button"}, {"event", "press"}});
  ASSERT_TRUE(duplicate);
  EXPECT_EQ(duplicate->status, 422);
  const json answer = body(duplicate);
  EXPECT_EQ(answer["error"]["code"], 2);
  EXPECT_EQ(answer["error"]["description"], "Preset \"Circle\" already exists.");
  EXPECT_EQ(answer["identifier"], std::string(kId) + "save-new-button");
  EXPECT_TRUE(answer["panels"].is_array());

  // Export settings take no presses and only their own elements.
  auto press = post(client, "/api/export/event",
                    {{"identifier", std::string(kId) + "save-button"}, {"event", "press"}});
  EXPECT_EQ(press->status, 422);
  auto unknown = post(client, "/api/export/event",
                      {{"identifier", std::string(kId) + "max-size"}, {"value", "5"}});
  EXPECT_EQ(unknown->status, 404);

  // Nothing of this reached the store.
  EXPECT_EQ(serve.presetsStored(), before);
}

TEST(WebServer, ReadsAndWritesOnlyWhatTheUserPicked) {
  TempFolder home;
  Serve serve(home.path());
  ASSERT_GT(serve.port(), 0);
  auto client = serve.client();
  fs::create_directories(home / "chosen");
  fs::create_directories(home / "elsewhere");
  fs::copy_file(samplePortrait(), home / "chosen" / "in.png");
  fs::copy_file(samplePortrait(), home / "elsewhere" / "secret.png");
  fs::create_symlink(home / "elsewhere" / "secret.png", home / "chosen" / "link.png");

  const auto thumbnail = [&](const fs::path& path) {
    return client
        .Get(("/api/thumbnail?path=" + httplib::detail::encode_query_param(path.string())).c_str())
        ->status;
  };
  EXPECT_EQ(thumbnail("/etc/hostname"), 403);
  EXPECT_EQ(thumbnail(home / "chosen" / "in.png"), 403);

  auto chosen = post(client, "/api/folders/choose", {{"path", (home / "chosen").string()}});
  ASSERT_EQ(chosen->status, 200);
  const std::string chosenUrl = body(chosen)["url"];
  EXPECT_EQ(thumbnail(home / "chosen" / "in.png"), 200);
  EXPECT_EQ(thumbnail(home / "chosen" / ".." / "elsewhere" / "secret.png"), 403);
  // A link inside the chosen folder does not lead out of it.
  EXPECT_EQ(thumbnail(home / "chosen" / "link.png"), 403);
  EXPECT_EQ(post(client, "/api/folders/choose", {{"path", (home / "nothing").string()}})->status,
            404);

  // The export goes only into a folder chosen here.
  auto panel = body(client.Get("/api/export"));
  const std::string dest = panel["panels"][0]["elements"][0]["identifier"];
  ASSERT_EQ(panel["panels"][0]["elements"][0]["kind"], "file");
  std::string elsewhereUrl = fileUrlFromPath((home / "elsewhere").string()) + "/";
  auto refused =
      post(client, "/api/export/event", {{"identifier", dest}, {"value", {elsewhereUrl}}});
  EXPECT_EQ(refused->status, 403);
  EXPECT_NE(body(refused)["message"].get<std::string>().find(elsewhereUrl), std::string::npos);
  EXPECT_EQ(post(client, "/api/export/event", {{"identifier", dest}, {"value", {"file:///etc/"}}})
                ->status,
            403);

  // Photos are picked from the disk, and then only they can be read.
  auto picked =
      post(client, "/api/photos/pick", {{"paths", {(home / "elsewhere" / "secret.png").string()}}});
  ASSERT_EQ(picked->status, 200);
  const int photo = body(picked)["photos"][0]["id"];
  EXPECT_EQ(thumbnail(home / "elsewhere" / "secret.png"), 200);
  EXPECT_EQ(post(client, "/api/photos/pick", {{"paths", {"/etc/hostname"}}})->status, 422);
  EXPECT_EQ(post(client, "/api/photos/pick", {{"paths", {"/no/such.png"}}})->status, 404);

  // Exporting before a folder was chosen names the folder element.
  auto early = post(client, "/api/export/start", {{"photos", {photo}}});
  EXPECT_EQ(early->status, 422);
  EXPECT_EQ(body(early)["identifier"], dest);
  EXPECT_TRUE(fs::is_empty(home / "chosen") ||
              std::distance(fs::directory_iterator(home / "chosen"), {}) == 2);

  // Cropping in place asks for the confirmation.
  auto actions = body(client.Get("/api/open-with"));
  ASSERT_FALSE(actions["actions"].empty());
  auto unconfirmed = post(client, "/api/open-with/start",
                          {{"photos", {photo}}, {"action", actions["actions"][0]["identifier"]}});
  EXPECT_EQ(unconfirmed->status, 400);
  EXPECT_EQ(readBytes(home / "elsewhere" / "secret.png"), readBytes(samplePortrait()));
}

TEST(WebServer, ExportChecksTheRecipeBeforeWritingAndNumbersTakenNames) {
  TempFolder home;
  Serve serve(home.path());
  ASSERT_GT(serve.port(), 0);
  auto client = serve.client();
  fs::create_directories(home / "out");
  fs::copy_file(samplePortrait(), home / "me.png");
  const std::string folderUrl =
      body(post(client, "/api/folders/choose", {{"path", (home / "out").string()}}))["url"];
  const int photo = body(post(client, "/api/photos/pick",
                              {{"paths", {(home / "me.png").string()}}}))["photos"][0]["id"];
  const json panel = body(client.Get("/api/export"));
  const json& elements = panel["panels"][0]["elements"];
  const auto idOf = [&](const std::string& title) {
    for (const json& e : elements)
      if (e["title"] == title) return e["identifier"].get<std::string>();
    ADD_FAILURE() << "no element " << title;
    return std::string();
  };
  ASSERT_EQ(post(client, "/api/export/event",
                 {{"identifier", idOf("Export Path")}, {"value", {folderUrl}}})
                ->status,
            200);

  // What was typed stays in the field, and the check names it.
  auto typed =
      post(client, "/api/export/event", {{"identifier", idOf("Max Size")}, {"value", "12a"}});
  ASSERT_EQ(typed->status, 200);
  bool shown = false;
  const json typedPanel = body(typed);
  for (const json& e : typedPanel["panels"][0]["elements"])
    if (e["title"] == "Max Size") shown = e["value"] == "12a";
  EXPECT_TRUE(shown) << typed->body;
  auto refused = post(client, "/api/export/start", {{"photos", {photo}}});
  ASSERT_EQ(refused->status, 422);
  EXPECT_EQ(body(refused)["error"]["description"], "Invalid value for Max Size.");
  EXPECT_EQ(body(refused)["identifier"], idOf("Max Size"));
  EXPECT_TRUE(fs::is_empty(home / "out"));

  // Fixed, the export runs; a second one numbers the name.
  post(client, "/api/export/event", {{"identifier", idOf("Max Size")}, {"value", "120"}});
  for (int run = 0; run < 2; ++run) {
    auto started = post(client, "/api/export/start", {{"photos", {photo}}});
    ASSERT_EQ(started->status, 202) << started->body;
    json task;
    // The stream of the task's state ends with the finished task.
    auto events = client.Get("/api/task/events");
    ASSERT_TRUE(events);
    const std::string& stream = events->body;
    const auto last = stream.rfind("data: ");
    ASSERT_NE(last, std::string::npos);
    task = json::parse(stream.substr(last + 6), nullptr, false);
    ASSERT_TRUE(task["finished"].get<bool>()) << stream;
    ASSERT_EQ(task["results"].size(), 1u);
    EXPECT_EQ(fs::path(task["results"][0]["path"].get<std::string>()).filename(),
              run == 0 ? "me.png" : "me 1.png");
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(home / "out"), {}), 2);
}

TEST(WebServer, UploadsAreKeptWithinTheLimit) {
  TempFolder home;
  Serve serve(home.path(), {"--max-upload", "1"});
  ASSERT_GT(serve.port(), 0);
  auto client = serve.client();
  const std::string portrait = readBytes(samplePortrait());

  httplib::MultipartFormDataItems fine = {{"photo", portrait, "me.png", "image/png"}};
  auto accepted = client.Post("/api/photos/upload", fine);
  ASSERT_TRUE(accepted);
  ASSERT_EQ(accepted->status, 200) << accepted->body;
  const json list = body(accepted)["photos"];
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["name"], "me.png");
  // The upload can be looked at, as the Why view does.
  auto report = client.Get(("/api/photos/" + list[0]["id"].dump() + "/inspect").c_str());
  ASSERT_EQ(report->status, 200);
  EXPECT_EQ(body(report)["faces"].size(), 1u);

  httplib::MultipartFormDataItems large = {
      {"photo", std::string((1u << 20) + (200u << 10), 'x'), "big.png", "image/png"}};
  auto refused = client.Post("/api/photos/upload", large);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 413);
  EXPECT_NE(refused->body.find("1 MB"), std::string::npos);
  httplib::MultipartFormDataItems sly = {{"photo", "text", "../../evil.sh", "text/plain"}};
  EXPECT_EQ(client.Post("/api/photos/upload", sly)->status, 422);
  auto photos = body(client.Get("/api/photos"))["photos"];
  EXPECT_EQ(photos.size(), 1u);
  for (const auto& p : photos) EXPECT_EQ(p["name"], "me.png");
}

// Two windows on the same panels: a change made in one is never undone or
// saved over unseen by the other.
TEST(WebServer, TwoBrowsersEditingAtOnceLoseNothing) {
  TempFolder home;
  Serve serve(home.path());
  ASSERT_GT(serve.port(), 0);
  const std::string nameId = std::string(kId) + "preset-name";
  const std::string saveNew = std::string(kId) + "save-new-button";

  {
    auto a = serve.client();
    auto b = serve.client();
    const json seenByA = body(a.Get("/api/preferences"));
    const json seenByB = body(b.Get("/api/preferences"));
    ASSERT_EQ(seenByA["revision"], seenByB["revision"]);
    auto renamed =
        post(a, "/api/preferences/event",
             {{"identifier", nameId}, {"value", "From A"}, {"revision", seenByA["revision"]}});
    ASSERT_EQ(renamed->status, 200);
    EXPECT_TRUE(body(renamed)["dirty"].get<bool>());
    // B has not seen A's rename: its Save would store what B never looked at.
    auto stale = post(b, "/api/preferences/event",
                      {{"identifier", std::string(kId) + "save-button"},
                       {"event", "press"},
                       {"revision", seenByB["revision"]}});
    ASSERT_EQ(stale->status, 409);
    EXPECT_FALSE(body(stale)["message"].get<std::string>().empty());
    EXPECT_EQ(body(stale)["panels"][0]["elements"][1]["value"], "From A");
    EXPECT_FALSE(serve.presetsStored().contains("From A"));
  }

  // Both windows keep adding presets at the same time; each adds its own.
  const auto addPresets = [&](const std::string& prefix) {
    auto client = serve.client();
    for (int i = 0; i < 4; ++i) {
      const std::string name = prefix + std::to_string(i);
      for (int attempt = 0; attempt < 100; ++attempt) {
        const json state = body(client.Get("/api/preferences"));
        auto edit =
            post(client, "/api/preferences/event",
                 {{"identifier", nameId}, {"value", name}, {"revision", state["revision"]}});
        if (edit->status == 409) continue;
        ASSERT_EQ(edit->status, 200) << edit->body;
        auto saved = post(
            client, "/api/preferences/event",
            {{"identifier", saveNew}, {"event", "press"}, {"revision", body(edit)["revision"]}});
        if (saved->status == 409) continue;
        ASSERT_EQ(saved->status, 200) << saved->body;
        break;
      }
    }
  };
  std::thread first(addPresets, "A");
  std::thread second(addPresets, "B");
  first.join();
  second.join();
  const json stored = serve.presetsStored();
  for (const char* name : {"A0", "A1", "A2", "A3", "B0", "B1", "B2", "B3", "Circle", "Square"})
    EXPECT_TRUE(stored.contains(name)) << name << " missing from " << stored.dump();
}

}  // namespace
}  // namespace kadro::testing
