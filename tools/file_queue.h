// The files of a run of gridwright-sprites, made by a few threads side by side so that one file
// is read and planned while the daemon decodes another's keyframes; what each says comes out in
// the files' order, as each one's turn comes.
//
// runInOrder is called from the main thread; `work` runs on the workers, several at once, and
// must be safe so; `report` runs on the calling thread only.

#ifndef GRIDWRIGHT_TOOLS_FILE_QUEUE_H_
#define GRIDWRIGHT_TOOLS_FILE_QUEUE_H_

#include <cstddef>
#include <functional>
#include <string>

namespace sprites {

enum class FileStatus { done, truncated, upToDate, failed };

// "done", "truncated", "up to date", "failed".
const char* statusName(FileStatus status);

// What a file's run says, kept until its turn comes.
struct FileReport {
  FileStatus status = FileStatus::failed;
  std::string out, err;  // for standard output and standard error
};

// Runs work(0), ..., work(count - 1) on `threads` threads (taking the files in order) and calls
// report(i, ...) for each in order of i as soon as it and all before it are done. After an
// interrupt (interrupt.h) no further file is begun; the reports of those begun still come, in
// order, up to the first one never begun.
void runInOrder(size_t count, size_t threads, const std::function<FileReport(size_t)>& work,
                const std::function<void(size_t, const FileReport&)>& report);

}  // namespace sprites

#endif  // GRIDWRIGHT_TOOLS_FILE_QUEUE_H_
