// The output folder of gridwright-sprites and what a run owns in it.
//
// Files are written under temporary names and renamed together once everything has succeeded,
// so that a failed run never leaves a file that looks complete. The folder keeps a record of
// the files that runs wrote there (`.gridwright-sprites`: each file's name, size and modification
// time as they were renamed into place; no inode, so that a folder copied with its times kept
// stays the tool's). A file counts as the tool's own only while
// the record names it and it is still that plain file, unchanged. A run overwrites only its own
// files and, once its files are in place, removes those of an earlier run that it no longer
// writes; everything else in the folder is left as it is, and a name that the run would write
// but that holds somebody else's file makes the run fail before it writes anything.
//
// One thread per OutputFiles (runs of several files use one each, on their own threads; their
// folders differ). Errors: OutputError, whose what() is one line naming the file and, for a
// failed system call, the system's reason.

#ifndef GRIDWRIGHT_TOOLS_OUTPUT_FILES_H_
#define GRIDWRIGHT_TOOLS_OUTPUT_FILES_H_

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace sprites {

class OutputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One file as the record knows it.
struct OwnedFile {
  std::string name;  // a plain file name inside the folder
  uint64_t size = 0;
  int64_t mtimeNanos = 0;

  friend bool operator==(const OwnedFile&, const OwnedFile&) = default;
};

// The video a folder's files were made from, as it was when they were made, and the options
// that shaped them (outputShape): what tells a later run that the folder is up to date.
struct SourceStamp {
  uint64_t size = 0;
  int64_t mtimeNanos = 0;
  std::string shape;  // one line

  friend bool operator==(const SourceStamp&, const SourceStamp&) = default;
};

// The stamp of the file at `path` with `shape`; nothing when it cannot be read.
std::optional<SourceStamp> stampOf(const std::filesystem::path& path, const std::string& shape);

struct Record {
  std::optional<SourceStamp> source;
  std::vector<OwnedFile> files;

  friend bool operator==(const Record&, const Record&) = default;
};

// The record's text, and its reading: entries whose name is not a plain file name (a path, ".",
// "..") are dropped; nothing when the text is not a record at all.
std::string recordText(const Record& record);
std::optional<Record> parseRecord(std::string_view text);

// True when the folder's record says it was made from `source` and every file it names is
// there, unchanged. Reads the record and looks at the files; opens nothing else.
bool isUpToDate(const std::filesystem::path& dir, const SourceStamp& source);

// The record's file name inside the folder.
inline constexpr const char* kRecordName = ".gridwright-sprites";

// Replaces a file of the user's, which they asked the tool to edit, in one rename: a reader sees
// the old or the new text, never a part. A link is followed: the file it names is replaced, with
// the same permissions. Throws OutputError.
void rewriteFile(const std::filesystem::path& path, std::string_view text);

class OutputFiles {
 public:
  // Makes `dir` and whatever folders above it are missing, and reads its record. The folders it
  // made are removed again (when still empty) if the run does not commit.
  explicit OutputFiles(std::filesystem::path dir);
  // Removes whatever was written and not committed, and the folders the constructor made.
  ~OutputFiles();
  OutputFiles(const OutputFiles&) = delete;
  OutputFiles& operator=(const OutputFiles&) = delete;

  // Throws OutputError unless every name is free to write: absent, or a file of the tool's own.
  void claim(const std::vector<std::string>& names) const;

  // Writes `bytes` under a temporary name (".NAME.partial", or with ".1", ".2", ... after it
  // when that name is taken: nothing there is overwritten or removed). REQUIRES: NAME is a plain
  // file name, written once per run.
  void write(const std::string& name, std::string_view bytes);

  // Puts every file in place under its final name, in the order written, then removes the files
  // of earlier runs that this one did not write, and records what this run wrote and, if given,
  // what it was made from.
  void commit(const std::optional<SourceStamp>& source = std::nullopt);

  // The names written, in order.
  const std::vector<std::string>& names() const { return names_; }

 private:
  struct Pending {
    std::string name;
    std::filesystem::path partial;
  };

  bool owned(const std::string& name) const;
  void writeRecord(const Record& record) const;
  void removeStale(const std::vector<OwnedFile>& earlier) const;

  std::filesystem::path dir_;
  std::vector<std::filesystem::path> made_;  // folders the constructor made, deepest first
  std::vector<OwnedFile> record_;            // as read when the run began
  std::vector<Pending> pending_;
  std::vector<std::string> names_;
  bool committed_ = false;
};

}  // namespace sprites

#endif  // GRIDWRIGHT_TOOLS_OUTPUT_FILES_H_
