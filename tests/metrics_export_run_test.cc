// The real qrxexport in front of the real collector on the demo's control
// files: its output passes promtool's check, /healthz follows the collector,
// and a real Prometheus server scrapes it. Each test has its own directory,
// channel and ports; every process started is ended, also on failure. The
// promtool and Prometheus parts skip when those programs are not installed.

#include <gtest/gtest.h>

#ifdef QRX_HAVE_QRXEXPORT

#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
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
  EXPECT_EQ(prometheus.stop() & 0x7f, 0);
}

}  // namespace
}  // namespace qrx

#endif  // QRX_HAVE_QRXEXPORT
