#include "file_queue.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "interrupt.h"

namespace sprites {

const char* statusName(FileStatus status) {
  switch (status) {
    case FileStatus::done:
      return "done";
    case FileStatus::truncated:
      return "truncated";
    case FileStatus::upToDate:
      return "up to date";
    case FileStatus::failed:
      return "failed";
  }
  return "failed";
}

void runInOrder(size_t count, size_t threads, const std::function<FileReport(size_t)>& work,
                const std::function<void(size_t, const FileReport&)>& report) {
  std::atomic<size_t> next{0};
  std::mutex lock;  // guards reports and stopped
  std::condition_variable changed;
  std::vector<std::optional<FileReport>> reports(count);
  size_t stopped = 0;  // workers that have taken their last file

  auto worker = [&] {
    for (;;) {
      const size_t i = next.fetch_add(1);
      if (i >= count || interrupted()) break;
      FileReport r = work(i);
      const std::lock_guard<std::mutex> hold(lock);
      reports[i] = std::move(r);
      changed.notify_all();
    }
    const std::lock_guard<std::mutex> hold(lock);
    ++stopped;
    changed.notify_all();
  };
  std::vector<std::thread> workers;
  for (size_t t = 0; t < threads; ++t) workers.emplace_back(worker);
  for (size_t i = 0; i < count; ++i) {
    std::unique_lock<std::mutex> hold(lock);
    changed.wait(hold, [&] { return reports[i].has_value() || stopped == workers.size(); });
    if (!reports[i]) break;  // interrupted: nobody takes the rest
    const FileReport r = std::move(*reports[i]);
    hold.unlock();
    report(i, r);
  }
  for (std::thread& w : workers) w.join();
}

}  // namespace sprites
