// Test support for fault injection in the database layer: the real SQLite
// backend, with every statement it prepares handed to a wrapper of the test's
// choosing. Wrappers own the statements they wrap.
#pragma once

#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "sqlrt/sqlrt.h"

namespace qrx::testing {

// Forwards every call to the statement it wraps; fault injectors derive from
// it and override the calls they break.
class ForwardingStatement : public sqlrt::Statement {
 public:
  explicit ForwardingStatement(std::unique_ptr<sqlrt::Statement> inner) : inner_(std::move(inner)) {}
  int open() override { return inner_->open(); }
  int describe(std::vector<sqlrt::ColumnDesc>& columns) override { return inner_->describe(columns); }
  int fetch(std::span<sqlrt::Binding> columns) override { return inner_->fetch(columns); }
  int close() override { return inner_->close(); }
  const sqlrt::Diagnostics& diagnostics() const override { return inner_->diagnostics(); }

 private:
  std::unique_ptr<sqlrt::Statement> inner_;
};

// The SQLite backend whose prepared statements pass through `wrap`.
class WrappingDriver : public sqlrt::Driver {
 public:
  using Wrap = std::function<std::unique_ptr<sqlrt::Statement>(std::unique_ptr<sqlrt::Statement>)>;
  explicit WrappingDriver(Wrap wrap) : wrap_(std::move(wrap)) {}
  // Logs on through the SQLite backend; counts the logons.
  int connect(const sqlrt::ConnectParams& params, std::unique_ptr<sqlrt::Connection>& out,
              sqlrt::Diagnostics& diag) override;

  int connects = 0;

 private:
  Wrap wrap_;
};

}  // namespace qrx::testing
