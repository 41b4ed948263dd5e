#include "agent/metrics_http.h"

#include <httplib.h>
#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "agent/http_guard.h"
#include "agent/metrics_config.h"
#include "agent/metrics_exporter.h"
#include "base/command_line.h"
#include "base/control_files.h"
#include "base/env_vars.h"
#include "base/files.h"
#include "base/log.h"
#include "base/settings.h"
#include "ctl/control_parse.h"

namespace qrx {
namespace {

const char kUsageLine[] = "qrxexport [OPTION ...]";

const char kHelp[] =
    "usage: qrxexport [OPTION ...]\n"
    "\n"
    "Serves the rows a running collector holds as Prometheus metrics:\n"
    "  GET /metrics  the cursors of the metrics file and the collector's health\n"
    "                (OpenMetrics when the scraper's Accept names it)\n"
    "  GET /healthz  200 when the collector answers within a second, 503 otherwise\n"
    "Every scrape asks the collector once, over its channel, as qrxprobe does;\n"
    "scrapes that come while one asks share its answer.\n"
    "\n"
    "  -listen HOST:PORT  address to serve on (default 127.0.0.1:9571, or the\n"
    "                     metrics file's \"listen\")\n"
    "  -metrics FILE      the metrics file (default qrxmetr.ctl, found as the\n"
    "                     collector finds its control files)\n"
    "  -scrape-timeout S  seconds a scrape waits for the collector when the\n"
    "                     scraper does not say (X-Prometheus-Scrape-Timeout-Seconds);\n"
    "                     also what each exchange with the collector may take\n"
    "                     (default 10, at most 600)\n"
    "Settings, as the collector takes them (or its COLL_* variables):\n"
    "  -rdbms SERVER, -serverid SERVER, -dbtype TYPE, -tempdir DIR, -ltempdir DIR,\n"
    "  -logsdir DIR, -ctldir DIR\n"
    "  --help             this text\n"
    "\n"
    "Exit status: 0 stopped by SIGTERM or SIGINT; 1 the address could not be\n"
    "bound; 2 usage error, or a fault in the metrics or cursor file or the TLS files.\n";

enum class Flag { kListen, kMetrics, kScrapeTimeout, kTlsCert, kTlsKey, kBasicAuth, kVerbose, kHelp };
struct FlagRow {
  const char* word;
  Flag flag;
  bool takes_value;
};
constexpr FlagRow kFlags[] = {
    {"-listen", Flag::kListen, true},
    {"-metrics", Flag::kMetrics, true},
    {"-scrape-timeout", Flag::kScrapeTimeout, true},
    {"-tls-cert", Flag::kTlsCert, true},
    {"-tls-key", Flag::kTlsKey, true},
    {"-basic-auth", Flag::kBasicAuth, true},
    {"-v", Flag::kVerbose, false},
    {"--help", Flag::kHelp, false},
};

struct Invocation {
  std::string listen;
  std::string metrics;
  std::string tls_cert;
  std::string tls_key;
  std::string auth_user;
  double scrape_timeout = 10;  // seconds
  bool verbose = false;
  bool help = false;
  std::string problem;
};

// The longest scrape time-out taken, from a scraper or -scrape-timeout.
constexpr double kMaxScrapeSeconds = 600;

// `text` as seconds above 0 and at most kMaxScrapeSeconds; 0 when it is not.
double scrape_seconds(const std::string& text) {
  char* end = nullptr;
  const double seconds = std::strtod(text.c_str(), &end);
  const bool whole = !text.empty() && end == text.c_str() + text.size();
  return whole && seconds > 0 && seconds <= kMaxScrapeSeconds ? seconds : 0;
}

Invocation read_command_line(int argc, char** argv) {
  Invocation call;
  const std::span<char* const> all(argv, static_cast<size_t>(argc));
  for (size_t i = 1; i < all.size() && call.problem.empty(); ++i) {
    const std::string_view word = all[i];
    const FlagRow* row = std::find_if(std::begin(kFlags), std::end(kFlags),
                                      [&](const FlagRow& r) { return word == r.word; });
    if (row != std::end(kFlags)) {
      if (row->takes_value && i + 1 >= all.size()) {
        call.problem = "option " + std::string(word) + " needs a value";
        break;
      }
      switch (row->flag) {
        case Flag::kListen: call.listen = all[++i]; break;
        case Flag::kMetrics: call.metrics = all[++i]; break;
        case Flag::kScrapeTimeout:
          call.scrape_timeout = scrape_seconds(all[++i]);
          if (call.scrape_timeout <= 0)
            call.problem = "-scrape-timeout takes seconds above 0, at most 600, not " +
                           std::string(all[i]);
          break;
        case Flag::kTlsCert: call.tls_cert = all[++i]; break;
        case Flag::kTlsKey: call.tls_key = all[++i]; break;
        case Flag::kBasicAuth: call.auth_user = all[++i]; break;
        case Flag::kVerbose: call.verbose = true; break;
        case Flag::kHelp: call.help = true; break;
      }
      continue;
    }
    const int used = word.size() > 1 && word[0] == '-' ? take_probe_option(all, i) : 0;
    if (used > 0) {
      i += static_cast<size_t>(used) - 1;
    } else {
      call.problem = used < 0 ? "option " + std::string(word) + " needs a value"
                              : "unexpected word " + std::string(word);
    }
  }
  if (call.problem.empty() && call.tls_cert.empty() != call.tls_key.empty())
    call.problem = "-tls-cert and -tls-key go together";
  return call;
}

// The password of basic auth: from the environment, so that no command line
// shows it.
constexpr char kPasswordVariable[] = "QRX_EXPORT_PASSWORD";

// True when `a` equals `b`, in a time that tells neither where they differ
// nor how long `b` is: their digests are compared, every byte.
bool same_secret(std::string_view a, std::string_view b) {
  unsigned char digest_a[SHA256_DIGEST_LENGTH];
  unsigned char digest_b[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(a.data()), a.size(), digest_a);
  SHA256(reinterpret_cast<const unsigned char*>(b.data()), b.size(), digest_b);
  return CRYPTO_memcmp(digest_a, digest_b, sizeof digest_a) == 0;
}

// How long a scrape may wait for the collector: a little less than the
// scraper's time-out, so that the answer reaches it in time.
std::chrono::milliseconds scrape_budget(const httplib::Request& request, double default_seconds) {
  const double asked = request.has_header("X-Prometheus-Scrape-Timeout-Seconds")
                           ? scrape_seconds(request.get_header_value("X-Prometheus-Scrape-Timeout-Seconds"))
                           : 0;
  const double seconds = asked > 0 ? asked : default_seconds;
  return std::chrono::milliseconds(static_cast<int64_t>(1000 * std::max(seconds - 0.5, seconds / 2)));
}

// What /healthz waits for the collector: it answers within a second.
constexpr std::chrono::milliseconds kHealthBudget{800};

// Parses a control file with the parsers' progress lines kept off the log
// (errors still reach it through the log's echo); false when it cannot be read.
bool parse_quietly(const std::string& path, const std::function<int(std::string_view)>& parse) {
  const std::optional<std::string> text = u_loadfile(path.c_str());
  if (!text) return false;
  const FilePtr scratch(std::tmpfile());
  std::FILE* const saved = stder;
  if (scratch) stder = scratch.get();
  const int rc = parse(*text);
  stder = saved;
  return rc == 0;
}

// The metrics file and the cursor definitions read into `config` and `plan`;
// false after the messages saying why not.
bool load(const Invocation& call, Definitions& defs, MetricsConfig& config,
          std::vector<ExportCursor>& plan) {
  const std::string path = call.metrics.empty() ? find_input_file("metr") : call.metrics;
  if (path.empty()) {
    PRINT('w', "com0408",
          "No metrics file found (looked for it as %s): only the collector's health is "
          "exported\n",
          input_file_places("metr").c_str());
  } else {
    const std::optional<std::string> text = u_loadfile(path.c_str());
    if (!text) {
      PRINT('e', "com0405", "Metrics file %s cannot be read\n", path.c_str());
      return false;
    }
    if (parse_metrics_text(*text, path, config) != 0) return false;
  }
  if (!call.listen.empty() && !parse_listen_address(call.listen, config.host, config.port)) {
    PRINT('e', "com0400", "listen address %s is not HOST:PORT; usage: %s\n", call.listen.c_str(),
          kUsageLine);
    return false;
  }
  if (config.cursors.empty()) return true;
  const std::string cursor_file = find_input_file("coll");
  if (cursor_file.empty()) {
    PRINT('e', "com0406", "No cursor file found (looked for it as %s): rows cannot be decoded\n",
          input_file_places("coll").c_str());
    return false;
  }
  if (const std::string dict = find_input_file("dict"); !dict.empty())
    parse_quietly(dict, [&defs](std::string_view text) { return parse_dict_text(defs, text); });
  if (!parse_quietly(cursor_file,
                     [&defs](std::string_view text) { return parse_curs_text(defs, text); })) {
    PRINT('e', "com0407", "Cursor file %s could not be read\n", cursor_file.c_str());
    return false;
  }
  return build_export_plan(defs, config, path, plan) == 0;
}

// Written by the signal handler, read by the watcher thread: lock-free, so
// safe in a handler and between threads.
std::atomic<int> stop_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);
extern "C" void record_stop(int sig) { stop_signal = sig; }

// Refuses what a scrape does not need, before any body is read: a body
// (413), a method other than GET or HEAD (405), a request without the
// credentials of `expected_auth` when that is not empty (401).
httplib::Server::HandlerResponse guard_request(const httplib::Request& request,
                                               httplib::Response& response,
                                               const std::string& expected_auth) {
  if (carries_body(request)) {
    response.status = 413;
  } else if (request.method != "GET" && request.method != "HEAD") {
    response.status = 405;
    response.set_header("Allow", "GET, HEAD");
  } else if (!expected_auth.empty() &&
             !same_secret(request.get_header_value("Authorization"), expected_auth)) {
    response.status = 401;
    response.set_header("WWW-Authenticate", "Basic realm=\"qrxexport\"");
  } else {
    // Ranges are ignored; without this, the library tells HEAD "bytes".
    response.set_header("Accept-Ranges", "none");
    return httplib::Server::HandlerResponse::Unhandled;
  }
  return httplib::Server::HandlerResponse::Handled;
}

int serve(MetricsExporter& exporter, const MetricsConfig& config, const Invocation& call) {
  // The library's TLS server is kept for the context it sets up from the
  // files; the guarded server makes each connection's session from it.
  std::unique_ptr<httplib::SSLServer> tls;
  if (!call.tls_cert.empty()) {
    tls = std::make_unique<httplib::SSLServer>(call.tls_cert.c_str(), call.tls_key.c_str());
    if (!tls->is_valid()) {
      PRINT('e', "com0415", "TLS certificate %s or key %s cannot be used\n", call.tls_cert.c_str(),
            call.tls_key.c_str());
      return kExportUsage;
    }
  }
  GuardedServer server(kExportLimits, tls ? tls->ssl_context() : nullptr);
  std::string expected_auth;
  if (!call.auth_user.empty()) {
    const char* password = std::getenv(kPasswordVariable);
    expected_auth = httplib::make_basic_authentication_header(call.auth_user, password).second;
  }
  // A client that waits for "100 Continue" before its body is refused at once.
  server.set_expect_100_continue_handler(
      [](const httplib::Request& request, httplib::Response& response) {
        if (!carries_body(request)) return 100;
        response.status = 413;
        return 413;
      });
  server.set_pre_routing_handler(
      [expected_auth](const httplib::Request& request, httplib::Response& response) {
        return guard_request(request, response, expected_auth);
      });
  server.Get("/metrics", [&](const httplib::Request& request, httplib::Response& response) {
    const ExpositionFormat format = format_for_accept(request.get_header_value("Accept"));
    const auto deadline =
        std::chrono::steady_clock::now() + scrape_budget(request, call.scrape_timeout);
    response.set_content(exporter.scrape(format, deadline), exposition_content_type(format));
  });
  server.Get("/healthz", [&](const httplib::Request&, httplib::Response& response) {
    const bool up = exporter.healthy(std::chrono::steady_clock::now() + kHealthBudget);
    response.status = up ? 200 : 503;
    response.set_content(up ? "ok\n" : "the collector does not answer\n", "text/plain");
  });
  if (!server.bind_listening(config.host, config.port)) {
    PRINT('e', "com0412", "Cannot listen on %s:%d\n", config.host.c_str(), config.port);
    return kExportListenFailed;
  }
  PRINT('i', "com0413", "Serving metrics on %s://%s:%d/metrics (asking for: %s)\n",
        tls ? "https" : "http", config.host.c_str(), config.port, exporter.requests().c_str());
  std::fflush(stder);
  struct sigaction action {};
  action.sa_handler = record_stop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  // The handler only records; this thread ends the server for it.
  std::atomic<bool> done{false};
  std::thread watcher([&] {
    // Until listen ends: a stop that came before listen began would be lost.
    while (!done) {
      if (stop_signal) server.stop();
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  const bool listened = server.listen_after_bind();
  done = true;
  watcher.join();
  if (!listened && !stop_signal) {
    PRINT('e', "com0412", "Cannot listen on %s:%d\n", config.host.c_str(), config.port);
    return kExportListenFailed;
  }
  PRINT('i', "com0414", "qrxexport stopped (signal %d)\n", stop_signal.load());
  return kExportStopped;
}

}  // namespace

int export_main(int argc, char** argv, std::FILE* out, std::FILE* err) {
  const Invocation call = read_command_line(argc, argv);
  if (call.help) {
    std::fputs(kHelp, out);
    return kExportStopped;
  }
  if (!stder) stder = err;
  if (!call.problem.empty()) {
    PRINT('e', "com0400", "%s; usage: %s\n", call.problem.c_str(), kUsageLine);
    return kExportUsage;
  }
  get_envs(env_vars);
  Definitions defs;  // the plan points into it
  MetricsConfig config;
  std::vector<ExportCursor> plan;
  if (!load(call, defs, config, plan)) return kExportUsage;
  if (!call.auth_user.empty() && !std::getenv(kPasswordVariable)) {
    PRINT('e', "com0400", "-basic-auth needs the password in %s; usage: %s\n", kPasswordVariable,
          kUsageLine);
    return kExportUsage;
  }
  if (!call.auth_user.empty() && *std::getenv(kPasswordVariable) == '\0') {
    PRINT('e', "com0400", "-basic-auth refuses the empty password in %s; usage: %s\n",
          kPasswordVariable, kUsageLine);
    return kExportUsage;
  }
  MetricsExporter exporter(
      std::move(plan), channel_link(call.verbose),
      std::chrono::milliseconds(static_cast<int64_t>(1000 * call.scrape_timeout)));
  return serve(exporter, config, call);
}

}  // namespace qrx
