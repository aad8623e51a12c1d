// vantrel-host panel as a browser drives it: the real program on the shipped
// demo scene, spoken to over HTTP.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <httplib.h>

#include <OpenImageIO/imageio.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "testsupport/test_support.h"

namespace {

using testing_support::read_bytes;

// The program serving a scene's panel; stopped with SIGTERM if still running.
class PanelProcess {
public:
  PanelProcess(const std::string& scene, const std::string& plugin, const std::string& err_path,
               const std::string& port = "0") {
    int out[2];
    if (pipe(out) != 0) return;
    pid = fork();
    if (pid == 0) {
      dup2(out[1], STDOUT_FILENO);
      FILE* err = fopen(err_path.c_str(), "w");
      if (err) dup2(fileno(err), STDERR_FILENO);
      close(out[0]);
      execl(VANTREL_HOST_PATH, VANTREL_HOST_PATH, "panel", scene.c_str(), "--plugin",
            plugin.c_str(), "--port", port.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') url += c;
    close(out[0]);
  }
  ~PanelProcess() {
    if (pid > 0 && status < 0) {
      kill(pid, SIGTERM);
      wait();
    }
  }
  int wait() {
    int s = 0;
    if (status < 0 && waitpid(pid, &s, 0) == pid)
      status = WIFEXITED(s) ? WEXITSTATUS(s) : 128 + WTERMSIG(s);
    return status;
  }

  pid_t pid = -1;
  int status = -1;
  std::string url;  // the first line the program printed
};

// The number after `"key":` at or after `from`; NaN when absent.
double json_number(const std::string& json, const std::string& key, size_t from = 0) {
  const size_t at = json.find("\"" + key + "\":", from);
  if (at == std::string::npos) return std::nan("");
  return std::strtod(json.c_str() + at + key.size() + 3, nullptr);
}

// A request sent as the given bytes, as a client other than the page may send
// it; the whole answer, headers and body, once the server closes.
std::string raw_request(int port, const std::string& bytes) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
      send(fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size())) {
    char buf[4096];
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;)
      answer.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return answer;
}

// A control's entry in the page's JSON, from its label to the end of its object.
std::string control_entry(const std::string& json, const std::string& label) {
  const size_t at = json.find("\"label\":\"" + label + "\"");
  if (at == std::string::npos) return "";
  return json.substr(at, json.find('}', at) - at);
}

// The sum of every channel of a PNG image, and its size.
struct PngStats {
  int width = 0, height = 0;
  double sum = 0;
};
PngStats png_stats(const std::string& bytes, const testing_support::TempDir& dir) {
  const std::string path = dir.file("decoded.png");
  testing_support::write_bytes(path, bytes);
  PngStats s;
  auto in = OIIO::ImageInput::open(path);
  if (!in) return s;
  s.width = in->spec().width;
  s.height = in->spec().height;
  std::vector<float> px(static_cast<size_t>(s.width) * s.height * in->spec().nchannels);
  in->read_image(0, 0, 0, in->spec().nchannels, OIIO::TypeDesc::FLOAT, px.data());
  for (float v : px) s.sum += v;
  return s;
}

struct PanelPage : ::testing::Test {
  void SetUp() override {
    plugin = dir.file("plugin/vantrel64.so");
    scene = dir.file("orion.vsc");
    std::system(("mkdir -p '" + dir.file("plugin") + "' && cp '" VANTREL_PLUGIN_PATH "' '" +
                 plugin + "' && cp ../../data/orion.vsc '" + scene +
                 "' && ln -s \"$PWD/../../data/" + "hipparcos3D.stars\" '" +
                 dir.file("hipparcos3D.stars") + "'")
                    .c_str());
    panel = std::make_unique<PanelProcess>(scene, plugin, dir.file("err.txt"));
    ASSERT_EQ(panel->url.rfind("http://127.0.0.1:", 0), 0u)
        << panel->url << read_bytes(dir.file("err.txt"));
    const size_t slash = panel->url.find('/', 7);
    client = std::make_unique<httplib::Client>(panel->url.substr(0, slash));
    client->set_read_timeout(30, 0);
    token = panel->url.substr(panel->url.find("token=") + 6);
    ASSERT_EQ(token.size(), 32u);
  }
  std::string with_token(const std::string& path) {
    return path + (path.find('?') == std::string::npos ? "?" : "&") + "token=" + token;
  }
  std::string get(const std::string& path, int expected = 200) {
    auto res = client->Get(with_token(path));
    EXPECT_TRUE(res) << path;
    if (!res) return "";
    EXPECT_EQ(res->status, expected) << path << ": " << res->body;
    return res->body;
  }
  std::string post(const std::string& path, int expected = 200) {
    auto res = client->Post(with_token(path), "", "text/plain");
    EXPECT_TRUE(res) << path;
    if (!res) return "";
    EXPECT_EQ(res->status, expected) << path << ": " << res->body;
    return res->body;
  }
  struct LiveShot {
    double edit = 0, number = 0;  // the edit it shows; the count of renders finished
    PngStats png;
  };
  // The live render once it shows at least the given edit; nothing after 30 s.
  LiveShot live_after(double edit) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (double number = 0;;) {
      const std::string info = get("/api/live.json?after=" + std::to_string(number));
      number = json_number(info, "number");
      if (json_number(info, "edit") >= edit) break;
      if (info.empty() || std::chrono::steady_clock::now() > give_up) {
        ADD_FAILURE() << "no live render of edit " << edit;
        return {};
      }
    }
    auto res = client->Get(with_token("/api/live.png"));
    if (!res) return {};
    return {std::stod(res->get_header_value("X-Live-Edit")),
            std::stod(res->get_header_value("X-Live-Number")), png_stats(res->body, dir)};
  }
  // Closes the panel as the page does; the program ends.
  void close_panel() {
    post("/api/close");
    EXPECT_EQ(panel->wait(), 0) << read_bytes(dir.file("err.txt"));
  }

  testing_support::TempDir dir;
  std::string plugin, scene, token;
  std::unique_ptr<PanelProcess> panel;
  std::unique_ptr<httplib::Client> client;
};

}  // namespace

TEST_F(PanelPage, EveryRequestNeedsTheTokenAndOurHostName) {
  for (const char* path :
       {"/", "/panel.js", "/api/model", "/api/live.png", "/api/area.png?id=32786"}) {
    auto bare = client->Get(path);
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->status, 403) << path;
    auto wrong = client->Get(std::string(path) + (strchr(path, '?') ? "&" : "?") +
                             "token=" + std::string(32, '0'));
    EXPECT_EQ(wrong->status, 403) << path;
  }
  auto set = client->Post("/api/set?id=32769&value=7", "", "text/plain");
  EXPECT_EQ(set->status, 403);
  // A page reached under another name (a DNS name rebound to this address).
  auto rebound = client->Get(with_token("/api/model"), {{"Host", "evil.example:80"}});
  EXPECT_EQ(rebound->status, 403);
  // Changes are POST only.
  auto by_get = client->Get(with_token("/api/set?id=32769&value=7"));
  EXPECT_EQ(by_get->status, 404);
  // A body beyond the bound is refused.
  auto big =
      client->Post(with_token("/api/set?id=32769&value=7"), std::string(100000, 'x'), "text/plain");
  EXPECT_EQ(big->status, 413);
  EXPECT_EQ(json_number(control_entry(get("/api/model"), "Star Brightness"), "value"), 0.6f);
  const std::string page = get("/");
  EXPECT_NE(page.find("panel.js?token=" + token), std::string::npos);

  // A second panel cannot take the port of the first.
  const std::string port = panel->url.substr(17, panel->url.find('/', 17) - 17);
  PanelProcess second(scene, plugin, dir.file("err2.txt"), port);
  EXPECT_EQ(second.url, "");
  EXPECT_EQ(second.wait(), 1);
  EXPECT_NE(read_bytes(dir.file("err2.txt")).find("cannot listen on 127.0.0.1:" + port),
            std::string::npos)
      << read_bytes(dir.file("err2.txt"));
  close_panel();
}

TEST_F(PanelPage, AValueSetReachesThePluginPreviewAndLiveRender) {
  const std::string model = get("/api/model");
  EXPECT_EQ(json_number(model, "focus"), 0x8001);
  const std::string brightness = control_entry(model, "Star Brightness");
  EXPECT_NE(brightness.find("\"class\":\"float\""), std::string::npos) << brightness;
  EXPECT_EQ(json_number(brightness, "value"), 0.6f);
  EXPECT_NE(
      control_entry(model, "Projection:").find("\"choices\":[\"Persp\",\"HemiSph\",\"AzEqu\"]"),
      std::string::npos);

  const auto [edit0, number0, before] = live_after(0);
  EXPECT_EQ(before.width, 960);  // a quarter of the 1920 x 1080 frame
  EXPECT_EQ(before.height, 540);
  const PngStats preview_before = png_stats(get("/api/area.png?id=32786"), dir);
  EXPECT_EQ(preview_before.width, 400);  // as wide as the page's panel column
  EXPECT_EQ(preview_before.height, 150);
  const PngStats logo = png_stats(get("/api/area.png?id=32789"), dir);
  EXPECT_EQ(logo.width, 292);  // what the plug-in painted of its area
  EXPECT_EQ(logo.height, 61);

  const std::string reply = post("/api/set?id=32769&value=3");
  const double edit = json_number(reply, "edit");
  EXPECT_GT(edit, edit0);
  EXPECT_EQ(json_number(control_entry(reply, "Star Brightness"), "value"), 3);
  EXPECT_NE(control_entry(reply, "Preview"), "") << "the preview must be redrawn: " << reply;

  const auto [shown, number1, after] = live_after(edit);
  EXPECT_GE(shown, edit);
  EXPECT_GT(after.sum, before.sum * 1.5) << "more light in the live render";
  EXPECT_GT(png_stats(get("/api/area.png?id=32786"), dir).sum, preview_before.sum);
  EXPECT_EQ(json_number(control_entry(get("/api/model"), "Star Brightness"), "value"), 3);

  // A slider dragged: a burst of edits is rendered a few times at most, and
  // the picture that stays is the newest edit's.
  double last = 0;
  for (int i = 12; i >= 0; --i)  // from 9 down to 3 again
    last = json_number(post("/api/set?id=32769&value=" + std::to_string(3 + 0.5 * i)), "edit");
  const auto [shown_last, number2, settled] = live_after(last);
  EXPECT_EQ(shown_last, last);
  EXPECT_LE(number2 - number1, 3);
  EXPECT_EQ(settled.sum, after.sum) << "the same settings, the same picture";

  // Values the control cannot take are refused and change nothing.
  EXPECT_NE(post("/api/set?id=32769&value=bright", 400).find("not a number"), std::string::npos);
  EXPECT_NE(post("/api/set?id=32780&value=7", 400).find("no choice 7"), std::string::npos);
  EXPECT_EQ(json_number(control_entry(get("/api/model"), "Star Brightness"), "value"), 3);

  // Full size on request; frames outside the scene's range are refused.
  EXPECT_NE(post("/api/live?frame=2&full=1", 400).find("outside the scene's range 1-1"),
            std::string::npos);
  post("/api/live?frame=1&full=1");
  for (double number = number2, tries = 0; tries < 10; ++tries) {
    const std::string info = get("/api/live.json?after=" + std::to_string(number));
    number = json_number(info, "number");
    if (info.find("\"full\":true") != std::string::npos) {
      EXPECT_EQ(json_number(info, "width"), 1920) << info;
      EXPECT_EQ(json_number(info, "height"), 1080) << info;
      break;
    }
    ASSERT_LT(tries, 9) << "no full-size render";
  }

  post("/api/save");
  EXPECT_NE(read_bytes(scene).find("\n    Brightness 3\n"), std::string::npos) << read_bytes(scene);
  close_panel();
  EXPECT_NE(read_bytes(dir.file("plugin/vantrel.ini")).find("DefaultStarFile"), std::string::npos);
}

TEST_F(PanelPage, ParentChooserAndFileRequester) {
  // The chooser: choose the camera and confirm; the filter's parent is saved.
  std::string reply = post("/api/press?id=32779");
  const std::string chooser = control_entry(reply, "Parent:");
  ASSERT_NE(chooser.find("\"choices\":[\"NONE\",\"(Camera) Camera\"]"), std::string::npos) << reply;
  post("/api/set?dialog=1&id=32769&value=1");
  post("/api/dialog?confirm=1");
  post("/api/save");
  EXPECT_NE(read_bytes(scene).find("ParentID 805306369"), std::string::npos);
  // Cancelled, a choice changes nothing.
  post("/api/press?id=32779");
  post("/api/set?dialog=1&id=32769&value=0");
  post("/api/dialog?confirm=0");
  post("/api/save");
  EXPECT_NE(read_bytes(scene).find("ParentID 805306369"), std::string::npos);
  post("/api/dialog?confirm=1", 400);  // none is open

  // Save Settings asks where; the requester lists names, never contents.
  get("/api/files", 400);  // no request open
  reply = post("/api/press?id=0x8010");
  EXPECT_NE(reply.find("\"request\":{"), std::string::npos) << reply;
  EXPECT_NE(reply.find("\"save\":true"), std::string::npos) << reply;
  testing_support::write_bytes(dir.file("old.settings"), "secret contents\n");
  const std::string listing = get("/api/files?folder=" + dir.path);
  EXPECT_NE(listing.find("{\"name\":\"old.settings\",\"folder\":false}"), std::string::npos)
      << listing;
  EXPECT_NE(listing.find("{\"name\":\"plugin\",\"folder\":true}"), std::string::npos) << listing;
  EXPECT_EQ(listing.find("orion.vsc"), std::string::npos) << "files of other types are not listed";
  EXPECT_EQ(listing.find("secret"), std::string::npos);
  post("/api/file?path=" + dir.file("look.settings"));
  get("/api/model");  // after the press has finished
  const std::string saved = read_bytes(dir.file("look.settings"));
  EXPECT_NE(saved.find("Brightness 0.6"), std::string::npos) << saved;
  close_panel();
}

TEST_F(PanelPage, CtrlCEndsWith130AndSaysWhetherEditsWereDropped) {
  post("/api/set?id=32769&value=3");
  kill(panel->pid, SIGINT);
  EXPECT_EQ(panel->wait(), 130);
  const std::string err = read_bytes(dir.file("err.txt"));
  EXPECT_NE(
      err.find("the panel is closed by Ctrl-C; edits not saved to " + scene + " were dropped\n"),
      std::string::npos)
      << err;
  EXPECT_EQ(read_bytes(scene).find("\n    Brightness 3\n"), std::string::npos);

  // Saved first: nothing is dropped.
  panel = std::make_unique<PanelProcess>(scene, plugin, dir.file("err2.txt"));
  client = std::make_unique<httplib::Client>(panel->url.substr(0, panel->url.find('/', 7)));
  token = panel->url.substr(panel->url.find("token=") + 6);
  post("/api/set?id=32769&value=3");
  post("/api/save");
  kill(panel->pid, SIGINT);
  EXPECT_EQ(panel->wait(), 130);
  EXPECT_NE(read_bytes(dir.file("err2.txt"))
                .find("the panel is closed by Ctrl-C; every edit was saved\n"),
            std::string::npos)
      << read_bytes(dir.file("err2.txt"));
}

TEST_F(PanelPage, RefusalsAreMessagesAndNothingIsClampedOrGuessed) {
  const double before = json_number(control_entry(get("/api/model"), "Star Brightness"), "value");
  // Out of range: refused with the range, not clamped to it.
  std::string reply = post("/api/set?id=32769&value=-5", 400);
  EXPECT_NE(reply.find("\"error\":\"Star Brightness takes 0 to 99999999; -5 is refused\""),
            std::string::npos)
      << reply;
  // A value in hexadecimal is no number here.
  reply = post("/api/set?id=32769&value=0x10", 400);
  EXPECT_NE(reply.find("'0x10' is not a number"), std::string::npos) << reply;
  EXPECT_EQ(json_number(control_entry(get("/api/model"), "Star Brightness"), "value"), before);
  // A change without its parameters, a frame that is no number: told in JSON.
  reply = post("/api/set", 400);
  EXPECT_NE(reply.find("\"error\":\"'' names no control\""), std::string::npos) << reply;
  reply = post("/api/live?frame=x", 400);
  EXPECT_NE(reply.find("\"error\":\"'x' is not a whole number\""), std::string::npos) << reply;
  EXPECT_EQ(reply.find("stoi"), std::string::npos) << reply;
  // A refused value comes back with the value stored, for the page to show in its place.
  reply = post("/api/set?id=32778&value=-5", 400);
  EXPECT_EQ(json_number(control_entry(reply, "Motion Blur Segments"), "value"), 1) << reply;
  reply = post("/api/set?id=32778&value=1.5", 400);
  EXPECT_EQ(json_number(control_entry(reply, "Motion Blur Segments"), "value"), 1) << reply;
  // A value taken comes back as stored, whatever the plug-in made of it.
  EXPECT_EQ(
      json_number(control_entry(post("/api/set?id=32781&value=7"), "Anamorphic DOF"), "value"), 1);

  // Requests the server cannot read are answered in JSON too: a POST without
  // its length, a body that is no form, a path that names nothing.
  const int port = std::stoi(panel->url.substr(17, panel->url.find('/', 17) - 17));
  const std::string head =
      " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\nConnection: close\r\n";
  const std::string query = "?id=32769&value=2&token=" + token;
  for (const std::string& request :
       {"POST /api/set" + query + head + "\r\n",
        "POST /api/set" + query + head +
            "Content-Type: multipart/form-data\r\nContent-Length: 3\r\n\r\nabc",
        "POST /api/nothing" + query + head + "Content-Length: 0\r\n\r\n"}) {
    const std::string answer = raw_request(port, request);
    SCOPED_TRACE(request);
    EXPECT_TRUE(answer.rfind("HTTP/1.1 400", 0) == 0 || answer.rfind("HTTP/1.1 404", 0) == 0)
        << answer;
    EXPECT_NE(answer.find("Content-Type: application/json"), std::string::npos) << answer;
    EXPECT_NE(answer.find("\r\n\r\n{\"error\":\""), std::string::npos) << answer;
  }
  EXPECT_EQ(json_number(control_entry(get("/api/model"), "Star Brightness"), "value"), before);
  close_panel();
}

// The plug-in's reports reach the page: each once, by number, and the list
// is bounded.
TEST_F(PanelPage, MessagesAreSentOnceAndTheListIsBounded) {
  // Save Settings into a folder that does not exist: the plug-in's failure.
  post("/api/press?id=32784");
  post("/api/file?path=" + dir.file("no/such/look.settings"));
  std::string reply = get("/api/model?seen=0");
  EXPECT_NE(reply.find("{\"number\":0,\"kind\":\"error\",\"text\":\"Vantrel: error saving "
                       "settings file\""),
            std::string::npos)
      << reply;
  EXPECT_EQ(json_number(reply, "next"), 1);
  // What the page has seen is not sent again.
  reply = post("/api/set?id=32769&value=2&seen=1");
  EXPECT_NE(reply.find("\"messages\":[],\"next\":1"), std::string::npos) << reply;
  // Each refused database is one message; the oldest go beyond the bound.
  const int bound = 200;
  for (int i = 0; i < bound + 10; ++i) {
    reply = post("/api/set?id=32785&value=/nonexistent" + std::to_string(i) +
                 ".stars&seen=" + std::to_string(i + 1));
    ASSERT_NE(reply.find("{\"number\":" + std::to_string(i + 1) + ",\"kind\":\"error\""),
              std::string::npos)
        << reply;
    ASSERT_EQ(reply.find("\"number\":" + std::to_string(i) + ","), std::string::npos) << reply;
  }
  reply = get("/api/model?seen=0");
  EXPECT_EQ(json_number(reply, "next"), bound + 11);
  EXPECT_EQ(json_number(reply, "number"), 11) << "the oldest kept";
  EXPECT_NE(reply.find("/nonexistent209.stars"), std::string::npos);
  EXPECT_EQ(reply.find("error saving settings file"), std::string::npos);
  size_t count = 0;
  for (size_t at = 0; (at = reply.find("\"number\":", at)) != std::string::npos; ++at) ++count;
  EXPECT_EQ(count, static_cast<size_t>(bound));
  close_panel();
}

TEST_F(PanelPage, ClosingThePageCancelsAnOpenDialogAndEnds) {
  // The exit status once the program ends; -1 when it still runs after 20 s.
  auto ends = [&]() {
    for (int i = 0; i < 200; ++i) {
      int s = 0;
      if (waitpid(panel->pid, &s, WNOHANG) == panel->pid)
        return panel->status = WIFEXITED(s) ? WEXITSTATUS(s) : 128 + WTERMSIG(s);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return -1;
  };
  // The file requester (Save Settings), then the parent chooser: each open as the page closes.
  for (const char* opener : {"/api/press?id=32784", "/api/press?id=32779"}) {
    SCOPED_TRACE(opener);
    const std::string err = dir.file(std::string("err") + opener[strlen(opener) - 1] + ".txt");
    panel = std::make_unique<PanelProcess>(scene, plugin, err);
    client = std::make_unique<httplib::Client>(panel->url.substr(0, panel->url.find('/', 7)));
    token = panel->url.substr(panel->url.find("token=") + 6);
    post(opener);
    unlink(dir.file("plugin/vantrel.ini").c_str());
    post("/api/close");
    EXPECT_EQ(ends(), 0) << read_bytes(err);
    EXPECT_NE(read_bytes(dir.file("plugin/vantrel.ini")).find("DefaultStarFile"),
              std::string::npos);
  }
}
