#include "wrapping_driver.h"

#include "sqlrt/backend_support.h"

namespace qrx::testing {
namespace {

class WrappingConnection : public sqlrt::Connection {
 public:
  WrappingConnection(std::unique_ptr<sqlrt::Connection> inner, const WrappingDriver::Wrap& wrap)
      : inner_(std::move(inner)), wrap_(wrap) {}
  std::unique_ptr<sqlrt::Statement> prepare(std::string_view sql) override {
    std::unique_ptr<sqlrt::Statement> statement = inner_->prepare(sql);
    return statement ? wrap_(std::move(statement)) : nullptr;
  }
  int commit(bool release) override { return inner_->commit(release); }
  int rollback(bool release) override { return inner_->rollback(release); }
  bool connected() const override { return inner_->connected(); }
  const sqlrt::Diagnostics& diagnostics() const override { return inner_->diagnostics(); }

 private:
  std::unique_ptr<sqlrt::Connection> inner_;
  const WrappingDriver::Wrap& wrap_;
};

}  // namespace

int WrappingDriver::connect(const sqlrt::ConnectParams& params, std::unique_ptr<sqlrt::Connection>& out,
                            sqlrt::Diagnostics& diag) {
  ++connects;
  std::unique_ptr<sqlrt::Connection> inner;
  const int code = sqlrt::sqlite_driver().connect(params, inner, diag);
  if (inner) out = std::make_unique<WrappingConnection>(std::move(inner), wrap_);
  return code;
}

}  // namespace qrx::testing
