#include "daemon_lease.h"

#include "interrupt.h"

namespace sprites {

std::shared_ptr<mosaickit::Client> DaemonLease::client() {
  const std::lock_guard<std::mutex> hold(lock_);
  if (!client_) {
    mosaickit::ClientOptions options{path_};
    options.started = watchDaemon;  // an interrupt must be able to end it even before Hello
    try {
      client_ = std::make_shared<mosaickit::Client>(std::move(options));
    } catch (...) {
      watchDaemon(0);
      throw;
    }
  }
  return client_;
}

void DaemonLease::drop(const std::shared_ptr<mosaickit::Client>& failed) {
  const std::lock_guard<std::mutex> hold(lock_);
  if (failed && client_ != failed) return;
  watchDaemon(0);
  client_.reset();
}

std::optional<std::string> DaemonLease::close() {
  const std::lock_guard<std::mutex> hold(lock_);
  if (!client_) return std::nullopt;
  watchDaemon(0);
  const mosaickit::ExitStatus status = client_->close();
  client_.reset();
  if (status.clean()) return std::nullopt;
  return "gridwright ended with " + status.describe();
}

}  // namespace sprites
