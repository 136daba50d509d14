// The one gridwright daemon of a run of gridwright-sprites: started when the first file needs
// it, and again for the next file after one has died; the interrupt handler is told its process
// id from its start (interrupt.h).
//
// Any thread may call it. Errors: mosaickit::ClientError when the daemon cannot be started.

#ifndef GRIDWRIGHT_TOOLS_DAEMON_LEASE_H_
#define GRIDWRIGHT_TOOLS_DAEMON_LEASE_H_

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "mosaickit/client.h"

namespace sprites {

class DaemonLease {
 public:
  explicit DaemonLease(std::string path) : path_(std::move(path)) {}
  DaemonLease(const DaemonLease&) = delete;
  DaemonLease& operator=(const DaemonLease&) = delete;

  // The daemon, started if need be; shared by the files at work.
  std::shared_ptr<mosaickit::Client> client();

  // After a failure that may have been the daemon's: the next file gets a fresh one (unless
  // another file's failure has already replaced it), and this one's end says nothing more.
  void drop(const std::shared_ptr<mosaickit::Client>& failed);

  // Ends the daemon; what went wrong, if it did not end cleanly. REQUIRES: no file at work.
  std::optional<std::string> close();

 private:
  std::string path_;
  std::mutex lock_;
  std::shared_ptr<mosaickit::Client> client_;
};

}  // namespace sprites

#endif  // GRIDWRIGHT_TOOLS_DAEMON_LEASE_H_
