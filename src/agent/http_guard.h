// The connections of qrxexport's HTTP server: cpp-httplib parses and routes
// each request, while this server reads and writes every connection against
// deadlines, caps the connections of each client address and of the whole
// server, and serves no request body. A TLS context, when given, stays its
// owner's.
#pragma once

#include <httplib.h>

#include <chrono>
#include <map>
#include <mutex>
#include <string>

namespace qrx {

// What one client may take of the server.
struct ConnectionLimits {
  std::chrono::milliseconds request_read{5000};     // a request's line and headers, or a TLS handshake
  std::chrono::milliseconds response_write{5000};   // writing one response
  std::chrono::milliseconds keep_alive_idle{5000};  // waiting for the next request
  int keep_alive_requests = 100;  // requests on one connection
  int per_address = 16;           // connections at once from one client address
  int workers = 32;               // connections served at once
  int queued = 32;                // accepted connections waiting for a worker
  int backlog = 128;              // connections the kernel holds until accepted
};

// The limits qrxexport serves with.
inline constexpr ConnectionLimits kExportLimits{};

// True when `request` announces a body (a length above 0, or chunks).
bool carries_body(const httplib::Request& request);

class ConnectionPool;

// An httplib::Server whose connections keep to `limits`: a connection over a
// cap is closed at once; a request that announces a body is answered (its
// body never read) and its connection closed; Range is ignored. `tls`, when
// not null, is the context every connection's TLS session is made from.
class GuardedServer : public httplib::Server {
 public:
  GuardedServer(const ConnectionLimits& limits, SSL_CTX* tls);

  // bind_to_port with the limits' backlog (the library's is 5: a burst of
  // scrapers would wait for their connections to be tried again).
  bool bind_listening(const std::string& host, int port);

 private:
  // Takes an accepted socket: offers it to the pool, or closes it when its
  // address or the pool has no room.
  bool process_and_close_socket(socket_t sock) override;
  // Serves the requests of connection `sock` until it ends or a limit ends it.
  void serve(int sock);
  // Takes a connection slot of `address`; false when it has none left.
  bool take_slot(const std::string& address);
  void give_slot(const std::string& address);

  const ConnectionLimits limits_;
  SSL_CTX* const tls_;
  ConnectionPool* pool_ = nullptr;  // the library's task queue while listening
  std::mutex mutex_;  // guards connections_
  std::map<std::string, int> connections_;  // open connections by client address
};

}  // namespace qrx
