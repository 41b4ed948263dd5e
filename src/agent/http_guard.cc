#include "agent/http_guard.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

namespace qrx {
namespace {

using Clock = std::chrono::steady_clock;

// Waits until `fd` is ready for `events` or `deadline` passes; true when ready.
bool wait_ready(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), 1000)));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

// Runs a non-blocking TLS call until it completes or `deadline` passes: its
// result, or -1.
int tls_call(SSL* ssl, int fd, Clock::time_point deadline, const std::function<int()>& call) {
  for (;;) {
    // SSL_get_error reads the thread's error queue: a failed session of an
    // earlier connection must not speak for this call.
    ERR_clear_error();
    const int rc = call();
    if (rc > 0) return rc;
    const int error = SSL_get_error(ssl, rc);
    if (error == SSL_ERROR_ZERO_RETURN) return 0;
    const short events = error == SSL_ERROR_WANT_READ    ? POLLIN
                         : error == SSL_ERROR_WANT_WRITE ? POLLOUT
                                                         : 0;
    if (events == 0 || !wait_ready(fd, events, deadline)) return -1;
  }
}

// The address and port of `fd`'s peer (`peer`) or of its own end; an empty
// address and port -1 when it has none.
void socket_endpoint(int fd, bool peer, std::string& ip, int& port) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  ip.clear();
  port = -1;
  auto* const any = reinterpret_cast<sockaddr*>(&address);
  if ((peer ? getpeername(fd, any, &length) : getsockname(fd, any, &length)) != 0) return;
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
    if (inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text)) ip = text;
    port = ntohs(v6->sin6_port);
  } else if (address.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
    if (inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text)) ip = text;
    port = ntohs(v4->sin_port);
  }
}

// A connection's bytes, plain or TLS, each read within the deadline of the
// request being read and each write within that of the response being written.
class DeadlineStream : public httplib::Stream {
 public:
  DeadlineStream(int fd, SSL* ssl, const ConnectionLimits& limits)
      : fd_(fd), ssl_(ssl), limits_(limits) {}

  // True when the next request begins before `deadline` (while `running`).
  bool next_request_by(Clock::time_point deadline, const std::function<bool()>& running) {
    while (begin_ == end_ && !(ssl_ && SSL_pending(ssl_) > 0)) {
      if (!running() || Clock::now() >= deadline) return false;
      if (wait_ready(fd_, POLLIN, std::min(deadline, Clock::now() + std::chrono::milliseconds(200))))
        break;
    }
    return true;
  }

  // Starts a request whose line and headers must be read by `deadline`.
  void begin_request(Clock::time_point deadline) {
    read_deadline_ = deadline;
    write_deadline_.reset();
  }

  bool is_readable() const override {
    return begin_ < end_ || (ssl_ && SSL_pending(ssl_) > 0) || wait_ready(fd_, POLLIN, read_deadline_);
  }

  bool is_writable() const override {
    return wait_ready(fd_, POLLOUT, write_deadline_.value_or(Clock::now() + limits_.response_write));
  }

  ssize_t read(char* ptr, size_t size) override {
    if (begin_ == end_) {
      const ssize_t n = ssl_ ? tls_call(ssl_, fd_, read_deadline_,
                                        [&] { return SSL_read(ssl_, buffer_, sizeof buffer_); })
                             : raw_read();
      if (n <= 0) return n;
      begin_ = 0;
      end_ = static_cast<size_t>(n);
    }
    const size_t n = std::min(size, end_ - begin_);
    std::copy_n(buffer_ + begin_, n, ptr);
    begin_ += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (!write_deadline_) write_deadline_ = Clock::now() + limits_.response_write;
    const int chunk = static_cast<int>(std::min<size_t>(size, 1 << 20));
    if (ssl_) return tls_call(ssl_, fd_, *write_deadline_, [&] { return SSL_write(ssl_, ptr, chunk); });
    for (;;) {
      const ssize_t n = ::send(fd_, ptr, static_cast<size_t>(chunk), MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n >= 0) return n;
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
      if (!wait_ready(fd_, POLLOUT, *write_deadline_)) return -1;
    }
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    socket_endpoint(fd_, true, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    socket_endpoint(fd_, false, ip, port);
  }
  socket_t socket() const override { return fd_; }

 private:
  ssize_t raw_read() {
    for (;;) {
      const ssize_t n = ::recv(fd_, buffer_, sizeof buffer_, MSG_DONTWAIT);
      if (n >= 0) return n;
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
      if (!wait_ready(fd_, POLLIN, read_deadline_)) return -1;
    }
  }

  const int fd_;
  SSL* const ssl_;
  const ConnectionLimits& limits_;
  Clock::time_point read_deadline_;
  std::optional<Clock::time_point> write_deadline_;
  char buffer_[4096];
  size_t begin_ = 0;
  size_t end_ = 0;
};

void close_socket(int fd) {
  ::shutdown(fd, SHUT_RDWR);
  ::close(fd);
}

}  // namespace

// The library's task queue: it runs each job on the accepting thread, where
// the server screens the socket and offers it here; a fixed set of workers
// serves what is offered, with a bounded queue.
class ConnectionPool : public httplib::TaskQueue {
 public:
  using Serve = std::function<void(int sock, const std::string& address)>;

  ConnectionPool(int workers, int queued, Serve serve)
      : queued_(static_cast<std::size_t>(queued)), serve_(std::move(serve)) {
    for (int i = 0; i < workers; ++i) workers_.emplace_back([this] { work(); });
  }

  void enqueue(std::function<void()> fn) override { fn(); }

  // Queues connection `sock` from `address`; false when the queue is full.
  bool offer(int sock, const std::string& address) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (jobs_.size() >= queued_) return false;
      jobs_.emplace_back(sock, address);
    }
    ready_.notify_one();
    return true;
  }

  // Serves what is queued (each connection ends at once: the server has
  // stopped) and waits for the workers.
  void shutdown() override {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    ready_.notify_all();
    for (std::thread& t : workers_) t.join();
  }

 private:
  void work() {
    for (;;) {
      std::pair<int, std::string> job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      serve_(job.first, job.second);
    }
  }

  const std::size_t queued_;
  const Serve serve_;
  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::pair<int, std::string>> jobs_;
  bool stopping_ = false;
};

bool carries_body(const httplib::Request& request) {
  if (request.has_header("Transfer-Encoding")) return true;
  const std::string length = request.get_header_value("Content-Length");
  return !length.empty() && length.find_first_not_of('0') != std::string::npos;
}

GuardedServer::GuardedServer(const ConnectionLimits& limits, SSL_CTX* tls)
    : limits_(limits), tls_(tls) {
  const auto seconds = [](std::chrono::milliseconds ms) {
    return std::max<time_t>(1, std::chrono::duration_cast<std::chrono::seconds>(ms).count());
  };
  // What the library still uses of these: the Keep-Alive header it sends,
  // and the time-outs of the accepted socket.
  set_keep_alive_max_count(static_cast<size_t>(limits.keep_alive_requests));
  set_keep_alive_timeout(seconds(limits.keep_alive_idle));
  set_read_timeout(seconds(limits.request_read));
  set_write_timeout(seconds(limits.response_write));
  set_payload_max_length(0);
  new_task_queue = [this] {
    pool_ = new ConnectionPool(limits_.workers, limits_.queued,
                               [this](int sock, const std::string& address) {
                                 serve(sock);
                                 close_socket(sock);
                                 give_slot(address);
                               });
    return pool_;
  };
}

bool GuardedServer::bind_listening(const std::string& host, int port) {
  return bind_to_port(host, port) && ::listen(svr_sock_, limits_.backlog) == 0;
}

bool GuardedServer::take_slot(const std::string& address) {
  const std::lock_guard<std::mutex> lock(mutex_);
  int& open = connections_[address];
  if (open >= limits_.per_address) return false;
  ++open;
  return true;
}

void GuardedServer::give_slot(const std::string& address) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (--connections_[address] <= 0) connections_.erase(address);
}

bool GuardedServer::process_and_close_socket(socket_t sock) {
  // On the accepting thread: a connection over a cap costs nothing further.
  std::string address;
  int port = 0;
  socket_endpoint(sock, true, address, port);
  if (!take_slot(address)) {
    close_socket(sock);
    return false;
  }
  if (!pool_->offer(sock, address)) {
    give_slot(address);
    close_socket(sock);
    return false;
  }
  return true;
}

void GuardedServer::serve(int sock) {
  // The handshake and the first request are read within one time-out of the
  // connection; a later request within one of its first byte.
  const Clock::time_point first_by = Clock::now() + limits_.request_read;
  ::fcntl(sock, F_SETFL, ::fcntl(sock, F_GETFL) | O_NONBLOCK);
  std::unique_ptr<SSL, void (*)(SSL*)> ssl(nullptr, SSL_free);
  if (tls_) {
    ssl.reset(SSL_new(tls_));
    if (!ssl || SSL_set_fd(ssl.get(), sock) != 1) return;
    if (tls_call(ssl.get(), sock, first_by, [&] { return SSL_accept(ssl.get()); }) <= 0) return;
  }
  DeadlineStream stream(sock, ssl.get(), limits_);
  const auto running = [this] { return is_running(); };
  for (int served = 0; served < limits_.keep_alive_requests; ++served) {
    if (!stream.next_request_by(served == 0 ? first_by : Clock::now() + limits_.keep_alive_idle,
                                running))
      break;
    stream.begin_request(served == 0 ? first_by : Clock::now() + limits_.request_read);
    const bool last = served + 1 == limits_.keep_alive_requests;
    bool client_closes = false;
    bool body_left = false;
    const bool answered = process_request(stream, last, client_closes, [&](httplib::Request& request) {
      // One plain body, whatever ranges were asked for.
      request.ranges.clear();
      // A body is never read, so nothing after it can be taken for a request.
      if (carries_body(request)) {
        body_left = true;
        request.headers.erase("Connection");
        request.headers.emplace("Connection", "close");
      }
    });
    if (!answered || last || client_closes || body_left) break;
  }
  if (ssl) SSL_shutdown(ssl.get());
}

}  // namespace qrx
