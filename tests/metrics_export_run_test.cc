// The real qrxexport in front of the real collector on the demo's control
// files: its output passes promtool's check, /healthz follows the collector,
// and a real Prometheus server scrapes it. Each test has its own directory,
// channel and ports; every process started is ended, also on failure. The
// promtool and Prometheus parts skip when those programs are not installed.

#include <gtest/gtest.h>

#ifdef QRX_HAVE_QRXEXPORT

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/collector_process.h"
#include "support/database_fixture.h"
#include "support/log_capture.h"
#include "support/startup_fixture.h"

namespace qrx {
namespace {

namespace fs = std::filesystem;

constexpr char kPromtool[] = "/usr/bin/promtool";
constexpr char kPrometheus[] = "/usr/bin/prometheus";

// A TCP port that was free a moment ago on 127.0.0.1.
int free_port() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  close(fd);
  return port;
}

// A child process with a clean environment in `dir`, its output in `log`;
// ended with SIGTERM (SIGKILL after 10 seconds) when the helper goes.
class Child {
 public:
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() { stop(); }

  pid_t pid() const { return pid_; }

  // `extra` adds "NAME=value" entries to the environment.
  bool start(const fs::path& dir, std::vector<std::string> argv, const fs::path& log,
             const std::vector<std::string>& extra = {}) {
    const std::string d = dir.string();
    std::vector<std::string> env = {"PATH=/usr/bin:/bin", "HOME=" + d, "USER=tester",
                                    "COLL_HOME=" + d, "COLL_CTL_HOME=" + d, "COLL_OUT=" + d,
                                    "COLL_PREFIX=" + d, "COLL_PREFIX_LOCAL=" + d};
    env.insert(env.end(), extra.begin(), extra.end());
    pid_ = fork();
    if (pid_ == 0) {
      if (chdir(d.c_str()) != 0) _exit(126);
      if (!freopen(log.c_str(), "w", stdout) || dup2(fileno(stdout), 2) < 0) _exit(126);
      std::vector<char*> args, vars;
      for (std::string& a : argv) args.push_back(a.data());
      for (std::string& e : env) vars.push_back(e.data());
      args.push_back(nullptr);
      vars.push_back(nullptr);
      execve(args[0], args.data(), vars.data());
      _exit(127);
    }
    return pid_ > 0;
  }

  // Waits for the child to end by itself (at most 30 seconds); its exit
  // status, or -1 when it did not end.
  int wait() {
    int status = 0;
    for (int i = 0; i < 300 && pid_ > 0; ++i) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return -1;
  }

  // Ends the child; its wait status (-1 when none ran).
  int stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 100; ++i) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return status;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }

 private:
  pid_t pid_ = -1;
};

// Calls `ready` until it answers true or `seconds` have passed (a call may
// itself last seconds: each scrape waits for the collector's turns).
bool wait_for(int seconds, const std::function<bool()>& ready) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < end) {
    if (ready()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return false;
}

// The value of the first result of a Prometheus instant query's JSON answer.
std::string first_value(const std::string& answer) {
  const std::size_t value = answer.find("\"value\":[");
  if (value == std::string::npos) return {};
  const std::size_t open = answer.find(",\"", value);
  const std::size_t close = answer.find('"', open + 2);
  return open == std::string::npos || close == std::string::npos
             ? std::string()
             : answer.substr(open + 2, close - open - 2);
}

// A TCP connection to 127.0.0.1:`port` from address `source`; -1 when none.
int connect_from(const char* source, int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, source, &local.sin_addr);
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(static_cast<uint16_t>(port));
  remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

bool send_all(int fd, const std::string& bytes) {
  for (std::size_t at = 0; at < bytes.size();) {
    const ssize_t n = send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
    if (n <= 0) return false;
    at += static_cast<std::size_t>(n);
  }
  return true;
}

// What the peer sends on `fd` until it closes or `seconds` pass without a byte.
std::string receive_all(int fd, int seconds) {
  std::string bytes;
  char buffer[65536];
  pollfd p{fd, POLLIN, 0};
  while (poll(&p, 1, seconds * 1000) > 0) {
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  return bytes;
}

// Peak resident memory of `pid` in kB (VmHWM), or -1.
long peak_rss_kb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.starts_with("VmHWM:")) return std::atol(line.c_str() + 6);
  return -1;
}

// An attacker's connections to 127.0.0.1:`port`, from 127.0.0.2 (another
// address than a scraper's): `slow` ones that send a header line every half
// second and `idle` ones that send nothing, each opened again as soon as the
// exporter lets it go, until the attacker goes.
class Attacker {
 public:
  Attacker(int port, int slow, int idle) : port_(port), slow_(slow, -1), idle_(idle, -1) {
    keep_open();
    thread_ = std::thread([this] {
      while (!done_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        keep_open();
      }
    });
  }
  ~Attacker() {
    done_ = true;
    thread_.join();
    for (int fd : slow_) close(fd);
    for (int fd : idle_) close(fd);
  }

 private:
  void keep_open() {
    for (int& fd : slow_) {
      if (fd >= 0 && send_all(fd, "X-Slow: 1\r\n")) continue;
      if (fd >= 0) close(fd);
      fd = connect_from("127.0.0.2", port_);
      if (fd >= 0) send_all(fd, "GET /metrics HTTP/1.1\r\nHost: x\r\n");
    }
    for (int& fd : idle_) {
      pollfd p{fd, POLLIN, 0};
      if (fd >= 0 && poll(&p, 1, 0) == 0) continue;
      if (fd >= 0) close(fd);
      fd = connect_from("127.0.0.2", port_);
    }
  }

  const int port_;
  std::vector<int> slow_;
  std::vector<int> idle_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// Continues a process stopped by SIGSTOP when the test ends, however it ends.
struct Continue {
  pid_t pid;
  ~Continue() { kill(pid, SIGCONT); }
};

std::string read_file(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class MetricsExportRunTest : public testing::StartupTest {
 protected:
  void SetUp() override {
    StartupTest::SetUp();
    // Every control file of the demo: the collector does not start without one it names.
    for (const auto& entry : fs::directory_iterator(QRX_SOURCE_DIR "/examples/demo"))
      if (entry.path().extension() == ".ctl") fs::copy_file(entry.path(), dir() / entry.path().filename());
    testing::run_sql((dir() / "DEMO.db").string(),
                     read_file(QRX_SOURCE_DIR "/examples/demo/demo.sql"));
    port_ = free_port();
    ASSERT_GT(port_, 0);
  }

  void start_collector() {
    // The demo's fetch exits find their programs there.
    ASSERT_TRUE(collector_.start(dir(), "-rdbms DEMO -logonid demo -dbtype qrx",
                                 "COLL_BINPATH=" QRX_SOURCE_DIR "/examples/demo/exits"));
  }

  void start_exporter(const std::vector<std::string>& options = {},
                      const std::vector<std::string>& env = {}) {
    std::vector<std::string> argv = {QRX_BINARY_DIR "/qrxexport", "-rdbms", "DEMO", "-dbtype",
                                     "qrx", "-listen", "127.0.0.1:" + std::to_string(port_)};
    argv.insert(argv.end(), options.begin(), options.end());
    ASSERT_TRUE(exporter_.start(dir(), argv, dir() / "qrxexport.err", env));
  }

  std::string exporter_log() { return read_file(dir() / "qrxexport.err"); }

  // GET `path` of the exporter; status 0 when it did not answer.
  httplib::Result get(const std::string& path, const httplib::Headers& headers = {}) {
    httplib::Client client("127.0.0.1", port_);
    client.set_read_timeout(60);
    return client.Get(path.c_str(), headers);
  }

  // Scrapes until the rows of `cursors` are there; the body of that scrape.
  std::string scrape_with_rows(const std::vector<std::string>& cursors) {
    std::string body;
    const bool there = wait_for(90, [&] {
      const httplib::Result r = get("/metrics");
      body = r ? r->body : "";
      for (const std::string& cursor : cursors)
        if (body.find("qrx_cursor_up{cursor=\"" + cursor + "\"} 1") == std::string::npos) return false;
      return true;
    });
    return there ? body : std::string();
  }

  testing::CollectorProcess collector_;
  Child exporter_;
  int port_ = 0;
};

TEST_F(MetricsExportRunTest, DemoScrapePassesPromtoolAndOffersOpenMetrics) {
  start_collector();
  start_exporter();
  const std::string body = scrape_with_rows({"DBSTATS", "SESSIONS", "TOPUSER", "TBLSPACE"});
  ASSERT_NE(body.find("qrx_demo_tablespace_size_bytes{name=\"USERS\"} 4294967296\n"),
            std::string::npos)
      << body << exporter_log() << testing::collector_log(dir());
  EXPECT_NE(body.find("qrx_up 1\n"), std::string::npos);
  EXPECT_NE(body.find("qrx_distributor_status{distributor=\"collector\",status=\"GOOD\"} 1\n"),
            std::string::npos);

  const httplib::Result open =
      get("/metrics", {{"Accept", "application/openmetrics-text;version=1.0.0,text/plain;q=0.5"}});
  ASSERT_TRUE(open);
  EXPECT_EQ(open->get_header_value("Content-Type"),
            "application/openmetrics-text; version=1.0.0; charset=utf-8");
  EXPECT_TRUE(open->body.ends_with("# EOF\n"));

  if (access(kPromtool, X_OK) != 0) GTEST_SKIP() << "promtool is not installed";
  const fs::path file = dir() / "scrape.txt";
  std::ofstream(file) << body;
  const std::string command = std::string(kPromtool) + " check metrics < '" + file.string() +
                              "' > '" + (dir() / "promtool.out").string() + "' 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0) << read_file(dir() / "promtool.out") << body;
}

TEST_F(MetricsExportRunTest, RunTimesKeepTheirFractionAndThePercentCursorIsLeftOut) {
  start_collector();
  start_exporter();
  const std::string body = scrape_with_rows({"DBSTATS"});
  ASSERT_NE(body, "") << exporter_log() << testing::collector_log(dir());
  // A query on SQLite takes well below a second: whole seconds would say 0.
  std::smatch elapsed;
  ASSERT_TRUE(std::regex_search(
      body, elapsed, std::regex("\nqrx_cursor_elapsed_seconds\\{cursor=\"DBSTATS\"\\} ([^\n]+)\n")))
      << body;
  EXPECT_GT(std::stod(elapsed[1].str()), 0) << body;
  EXPECT_LT(std::stod(elapsed[1].str()), 60) << body;
  EXPECT_EQ(body.find("%CURSOR"), std::string::npos) << body;
}

TEST_F(MetricsExportRunTest, HealthFollowsTheCollector) {
  start_exporter();
  ASSERT_TRUE(wait_for(30, [&] { return static_cast<bool>(get("/healthz")); }))
      << exporter_log();
  EXPECT_EQ(get("/healthz")->status, 503);
  const httplib::Result down = get("/metrics");
  ASSERT_TRUE(down);
  EXPECT_NE(down->body.find("qrx_up 0\n"), std::string::npos) << down->body;
  EXPECT_NE(down->body.find("qrx_cursor_up{cursor=\"DBSTATS\"} 0\n"), std::string::npos);

  start_collector();
  EXPECT_TRUE(wait_for(90, [&] {
    const httplib::Result r = get("/healthz");
    return r && r->status == 200;
  })) << exporter_log();
  EXPECT_EQ(testing::occurrences(exporter_log(), "COM0409W"), 1) << exporter_log();
  EXPECT_EQ(exporter_.stop(), 0) << exporter_log();
  EXPECT_NE(exporter_log().find("qrxexport stopped (signal 15)"), std::string::npos);
}

TEST_F(MetricsExportRunTest, TlsAndBasicAuthGuardEveryPath) {
  const std::string cert = (dir() / "cert.pem").string();
  const std::string key = (dir() / "key.pem").string();
  const std::string make_cert = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost -keyout '" +
                                key + "' -out '" + cert + "' >/dev/null 2>&1";
  if (access("/usr/bin/openssl", X_OK) != 0 || std::system(make_cert.c_str()) != 0)
    GTEST_SKIP() << "no openssl to make a certificate";
  start_exporter({"-tls-cert", cert, "-tls-key", key, "-basic-auth", "prom"},
                 {"QRX_EXPORT_PASSWORD=s3cret"});
  httplib::SSLClient client("127.0.0.1", port_);
  client.enable_server_certificate_verification(false);
  ASSERT_TRUE(wait_for(30, [&] { return static_cast<bool>(client.Get("/healthz")); }))
      << exporter_log();
  EXPECT_EQ(client.Get("/healthz")->status, 401);
  EXPECT_EQ(client.Get("/metrics")->status, 401);
  client.set_basic_auth("prom", "wrong");
  EXPECT_EQ(client.Get("/metrics")->status, 401);
  client.set_basic_auth("prom", "s3cret");
  EXPECT_EQ(client.Get("/healthz")->status, 503) << "past the guard: no collector runs";
  const httplib::Result metrics = client.Get("/metrics");
  ASSERT_TRUE(metrics);
  EXPECT_EQ(metrics->status, 200);
  EXPECT_NE(metrics->body.find("qrx_up 0\n"), std::string::npos);
  EXPECT_FALSE(get("/healthz")) << "no plain HTTP on a TLS port";

  // Connections that never begin their handshake keep no scraper waiting.
  client.set_read_timeout(20);
  const httplib::Result beside = [&] {
    const Attacker attacker(port_, 0, 60);
    return client.Get("/metrics");
  }();
  ASSERT_TRUE(beside) << exporter_log();
  EXPECT_EQ(beside->status, 200);
}

TEST_F(MetricsExportRunTest, SlowAndIdleClientsDoNotKeepAScrapeWaiting) {
  start_exporter();
  ASSERT_TRUE(wait_for(30, [&] { return static_cast<bool>(get("/healthz")); })) << exporter_log();
  // A scrape beside 50 slow and 50 idle connections, waiting as long as it must.
  std::chrono::milliseconds took{};
  const httplib::Result scrape = [&] {
    const Attacker attacker(port_, 50, 50);
    const auto begun = std::chrono::steady_clock::now();
    httplib::Result r = get("/metrics");
    took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                  begun);
    return r;
  }();
  ASSERT_TRUE(scrape) << exporter_log();
  EXPECT_EQ(scrape->status, 200);
  EXPECT_NE(scrape->body.find("qrx_up 0\n"), std::string::npos) << scrape->body;
  RecordProperty("scrape_ms", static_cast<int>(took.count()));
  std::printf("scrape beside 100 hostile connections: %lld ms\n",
              static_cast<long long>(took.count()));
}

TEST_F(MetricsExportRunTest, BodiesAreRefusedUnreadAndOnlyGetAndHeadServed) {
  start_exporter({"-basic-auth", "prom"}, {"QRX_EXPORT_PASSWORD=s3cret"});
  ASSERT_TRUE(wait_for(30, [&] { return static_cast<bool>(get("/healthz")); })) << exporter_log();
  const std::string auth = "Authorization: Basic cHJvbTpzM2NyZXQ=\r\n";
  // The first line of the answer to `request`.
  const auto status_line = [&](const std::string& request) {
    const int fd = connect_from("127.0.0.1", port_);
    if (fd < 0 || !send_all(fd, request)) return std::string("no connection");
    std::string answer;
    char c = 0;
    pollfd p{fd, POLLIN, 0};
    while (answer.find("\r\n") == std::string::npos && poll(&p, 1, 20000) > 0 && recv(fd, &c, 1, 0) == 1)
      answer += c;
    close(fd);
    return answer;
  };
  struct Case {
    std::string request;
    std::string status;
  };
  const Case cases[] = {
      {"POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 150000000\r\n\r\n", "HTTP/1.1 413 Payload Too Large\r\n"},
      {"GET /metrics HTTP/1.1\r\nHost: x\r\n" + auth + "Transfer-Encoding: chunked\r\n\r\n", "HTTP/1.1 413 Payload Too Large\r\n"},
      {"PUT /healthz HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\nContent-Length: 10\r\n\r\n", "HTTP/1.1 413 Payload Too Large\r\n"},
      {"DELETE /metrics HTTP/1.1\r\nHost: x\r\n" + auth + "Connection: close\r\n\r\n", "HTTP/1.1 405 Method Not Allowed\r\n"},
      {"POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\nConnection: close\r\n\r\n", "HTTP/1.1 405 Method Not Allowed\r\n"},
      {"GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", "HTTP/1.1 401 Unauthorized\r\n"},
      {"HEAD /healthz HTTP/1.1\r\nHost: x\r\n" + auth + "Connection: close\r\n\r\n", "HTTP/1.1 503 Service Unavailable\r\n"},
      {"GET /other HTTP/1.1\r\nHost: x\r\n" + auth + "Connection: close\r\n\r\n", "HTTP/1.1 404 Not Found\r\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(status_line(c.request), c.status) << c.request;

  // A 100 MB body: answered after the headers, its connection closed before
  // the body could be sent, hardly any memory taken.
  const long peak_before = peak_rss_kb(exporter_.pid());
  const int fd = connect_from("127.0.0.1", port_);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(send_all(fd, "POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 104857600\r\n\r\n"));
  const std::string answer = receive_all(fd, 20);
  const std::string chunk(1 << 20, 'x');
  int sent = 0;
  while (sent < 100 && send_all(fd, chunk)) ++sent;
  close(fd);
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 413 ")) << answer;
  EXPECT_LT(sent, 100) << "the connection was not closed on the body";
  const long peak_after = peak_rss_kb(exporter_.pid());
  EXPECT_LT(peak_after - peak_before, 5 * 1024) << peak_before << " kB, then " << peak_after;
  std::printf("100 MB body refused after %d MB sent: peak RSS %ld kB, then %ld kB\n", sent,
              peak_before, peak_after);
}

TEST_F(MetricsExportRunTest, ManyRangesGetOnePlainBody) {
  start_exporter();
  ASSERT_TRUE(wait_for(30, [&] { return static_cast<bool>(get("/healthz")); })) << exporter_log();
  std::string ranges = "bytes=0-";
  for (int i = 1; i < 2000; ++i) ranges += ",0-";
  const int fd = connect_from("127.0.0.1", port_);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(send_all(fd, "GET /metrics HTTP/1.1\r\nHost: x\r\nRange: " + ranges +
                               "\r\nConnection: close\r\n\r\n"));
  const std::string answer = receive_all(fd, 30);
  close(fd);
  ASSERT_TRUE(answer.starts_with("HTTP/1.1 200 OK\r\n")) << answer.substr(0, 300);
  EXPECT_EQ(answer.find("Content-Range"), std::string::npos);
  EXPECT_EQ(testing::occurrences(answer, "qrx_up 0\n"), 1);
  EXPECT_LT(answer.size(), 100000u);
  httplib::Client client("127.0.0.1", port_);
  const httplib::Result head = client.Head("/metrics");
  ASSERT_TRUE(head);
  EXPECT_EQ(head->get_header_value("Accept-Ranges"), "none");
}

TEST_F(MetricsExportRunTest, AStoppedCollectorCostsAScrapeItsTimeoutAndNoMore) {
  std::ofstream(dir() / "qrxmetr.ctl") << "cursor TBLSPACE;\nend;\n";
  start_collector();
  start_exporter();
  ASSERT_NE(scrape_with_rows({"TBLSPACE"}), "") << exporter_log();
  kill(collector_.pid(), SIGSTOP);
  const Continue resume{collector_.pid()};
  // Ten scrapers that allow 3 seconds (the answer comes before), each
  // waiting far longer for it.
  struct Outcome {
    int status = 0;
    std::string body;
    long long ms = 0;
  };
  std::vector<Outcome> outcomes(10);
  std::vector<std::thread> scrapers;
  for (Outcome& outcome : outcomes)
    scrapers.emplace_back([&] {
      httplib::Client client("127.0.0.1", port_);
      client.set_read_timeout(30);
      const auto begun = std::chrono::steady_clock::now();
      const httplib::Result r =
          client.Get("/metrics", {{"X-Prometheus-Scrape-Timeout-Seconds", "3"}});
      outcome.ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - begun)
                       .count();
      if (r) outcome.status = r->status, outcome.body = r->body;
    });
  for (std::thread& t : scrapers) t.join();
  long long slowest = 0;
  long long quickest = 1LL << 40;
  for (const Outcome& outcome : outcomes) {
    EXPECT_EQ(outcome.status, 200);
    EXPECT_NE(outcome.body.find("qrx_up 0\n"), std::string::npos) << outcome.body;
    slowest = std::max(slowest, outcome.ms);
    quickest = std::min(quickest, outcome.ms);
  }
  const auto begun = std::chrono::steady_clock::now();
  const httplib::Result health = get("/healthz");
  const auto health_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - begun);
  ASSERT_TRUE(health);
  EXPECT_EQ(health->status, 503);
  std::printf("stopped collector: 10 scrapes took %lld to %lld ms (time-out 3 s), /healthz %lld ms\n",
              quickest, slowest, static_cast<long long>(health_ms.count()));

  kill(collector_.pid(), SIGCONT);
  const httplib::Result after = get("/metrics");
  ASSERT_TRUE(after);
  EXPECT_NE(after->body.find("qrx_up 1\n"), std::string::npos) << after->body << exporter_log();
}

TEST_F(MetricsExportRunTest, UnusableTlsFilesBadWordsOrAMissingPasswordStopTheStart) {
  start_exporter({"bogus"});
  EXPECT_EQ(exporter_.wait(), 2);
  EXPECT_NE(exporter_log().find("COM0400E"), std::string::npos) << exporter_log();
  EXPECT_NE(exporter_log().find("unexpected word bogus; usage: qrxexport [OPTION ...]"),
            std::string::npos);
  start_exporter({"-tls-cert", "x.pem"});
  EXPECT_EQ(exporter_.wait(), 2);
  EXPECT_NE(exporter_log().find("-tls-cert and -tls-key go together; usage: "), std::string::npos)
      << exporter_log();
  std::ofstream(dir() / "bad.pem") << "not a certificate\n";
  const std::string bad = (dir() / "bad.pem").string();
  start_exporter({"-tls-cert", bad, "-tls-key", bad});
  EXPECT_EQ(exporter_.wait(), 2);
  EXPECT_NE(exporter_log().find("COM0415E"), std::string::npos) << exporter_log();
  EXPECT_NE(exporter_log().find("TLS certificate " + bad + " or key " + bad + " cannot be used"),
            std::string::npos);
  start_exporter({"-basic-auth", "prom"});
  EXPECT_EQ(exporter_.wait(), 2);
  EXPECT_NE(exporter_log().find("-basic-auth needs the password in QRX_EXPORT_PASSWORD; usage: "
                                "qrxexport [OPTION ...]"),
            std::string::npos)
      << exporter_log();
  start_exporter({"-basic-auth", "prom"}, {"QRX_EXPORT_PASSWORD="});
  EXPECT_EQ(exporter_.wait(), 2);
  EXPECT_NE(exporter_log().find("-basic-auth refuses the empty password in QRX_EXPORT_PASSWORD; "
                                "usage: qrxexport [OPTION ...]"),
            std::string::npos)
      << exporter_log();
  start_exporter({"-scrape-timeout", "0"});
  EXPECT_EQ(exporter_.wait(), 2);
  EXPECT_NE(exporter_log().find("-scrape-timeout takes seconds above 0, at most 600, not 0; "),
            std::string::npos)
      << exporter_log();
}

TEST_F(MetricsExportRunTest, PrometheusServerScrapesTheDemoMetrics) {
  if (access(kPrometheus, X_OK) != 0) GTEST_SKIP() << "prometheus is not installed";
  // Fewer cursors: the collector serves one request a second, and a scrape
  // must end within Prometheus's timeout.
  std::ofstream(dir() / "qrxmetr.ctl")
      << "cursor TBLSPACE;\n"
         "  metric size_mb scale 1048576 name qrx_demo_tablespace_size_bytes;\nend;\n";
  start_collector();
  start_exporter();
  ASSERT_NE(scrape_with_rows({"TBLSPACE"}), "") << exporter_log();
  const int web_port = free_port();
  std::ofstream(dir() / "prometheus.yml")
      << "global:\n  scrape_interval: 5s\n  scrape_timeout: 5s\n"
         "scrape_configs:\n  - job_name: qrx\n    static_configs:\n"
         "      - targets: ['127.0.0.1:" << port_ << "']\n";
  Child prometheus;
  ASSERT_TRUE(prometheus.start(
      dir(),
      {kPrometheus, "--config.file=" + (dir() / "prometheus.yml").string(),
       "--storage.tsdb.path=" + (dir() / "tsdb").string(),
       "--web.listen-address=127.0.0.1:" + std::to_string(web_port)},
      dir() / "prometheus.log"));
  httplib::Client api("127.0.0.1", web_port);
  api.set_read_timeout(10);
  const auto query = [&](const std::string& expression) {
    const httplib::Result r =
        api.Get("/api/v1/query", httplib::Params{{"query", expression}}, httplib::Headers{});
    return r && r->status == 200 ? r->body : std::string();
  };
  // Two scrapes: two samples of qrx_up in the last minute.
  const bool scraped_twice =
      wait_for(90, [&] { return std::atoi(first_value(query("count_over_time(qrx_up[1m])")).c_str()) >= 2; });
  ASSERT_TRUE(scraped_twice) << read_file(dir() / "prometheus.log") << exporter_log();
  const std::string answer = query("qrx_demo_tablespace_size_bytes{name=\"USERS\"}");
  EXPECT_EQ(first_value(answer), "4294967296") << answer;
  EXPECT_EQ(first_value(query("up{job=\"qrx\"}")), "1");

  // A stopped collector: the scrapes still end in time, with qrx_up 0, and
  // qrx_up is 1 again once the collector goes on.
  kill(collector_.pid(), SIGSTOP);
  const Continue resume{collector_.pid()};
  EXPECT_TRUE(wait_for(90, [&] { return first_value(query("qrx_up")) == "0"; }))
      << exporter_log();
  EXPECT_EQ(first_value(query("up{job=\"qrx\"}")), "1");
  kill(collector_.pid(), SIGCONT);
  EXPECT_TRUE(wait_for(90, [&] { return first_value(query("qrx_up")) == "1"; }))
      << exporter_log();
  EXPECT_EQ(prometheus.stop() & 0x7f, 0);
}

}  // namespace
}  // namespace qrx

#endif  // QRX_HAVE_QRXEXPORT
