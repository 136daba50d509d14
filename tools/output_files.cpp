#include "output_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <iterator>
#include <system_error>

namespace sprites {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kRecordHeader = "gridwright-sprites output record 1\n";

std::string systemError(const std::string& what, const fs::path& path, int error) {
  // The category's message, unlike strerror, may be asked from several threads at once.
  return "cannot " + what + " " + path.string() + ": " + std::generic_category().message(error);
}

// ".NAME" + suffix, built by appending: GCC 12 at -O3 sees a false overlap in chained operator+.
std::string hidden(const std::string& name, std::string_view suffix) {
  std::string out = ".";
  out += name;
  out += suffix;
  return out;
}

bool isPlainName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

// The plain file at `path` as the record would describe it; nothing for a link, a folder or a
// missing file.
std::optional<OwnedFile> describe(const fs::path& path, std::string name) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return OwnedFile{std::move(name), static_cast<uint64_t>(st.st_size),
                   static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

bool present(const fs::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// A new file for writing at `path`, or, when something is there already (a temporary file an
// interrupted run left, or anyone's), at `path` + ".1", ".2", ...: never through a link, never
// over anything. Returns the descriptor and the path it got.
std::pair<int, fs::path> createPartial(const fs::path& path) {
  constexpr int kTries = 100;
  for (int attempt = 0; attempt < kTries; ++attempt) {
    const fs::path name =
        attempt == 0 ? path : fs::path(path.string() + "." + std::to_string(attempt));
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) return {fd, name};
    if (errno != EEXIST) throw OutputError(systemError("write", name, errno));
  }
  throw OutputError(systemError("write", path, EEXIST));
}

// Writes `bytes` to a new temporary file beside `path` (see createPartial); returns its path.
fs::path writeWhole(const fs::path& path, std::string_view bytes, mode_t mode = 0644) {
  const auto [fd, written] = createPartial(path);
  ::fchmod(fd, mode);
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n < 0 ? errno : ENOSPC;
      ::close(fd);
      ::unlink(written.c_str());
      throw OutputError(systemError("write", written, error));
    }
    done += static_cast<size_t>(n);
  }
  // Some file systems report a full disk only when the file is closed.
  if (::close(fd) != 0) {
    const int error = errno;
    ::unlink(written.c_str());
    throw OutputError(systemError("write", written, error));
  }
  return written;
}

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

template <typename Int>
bool readNumber(std::string_view& line, Int& value) {
  const auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), value);
  if (error != std::errc() || end == line.data() + line.size() || *end != ' ') return false;
  line.remove_prefix(static_cast<size_t>(end - line.data()) + 1);
  return true;
}

}  // namespace

std::string recordText(const Record& record) {
  std::string text(kRecordHeader);
  if (record.source) {
    std::string shape = record.source->shape;
    std::replace(shape.begin(), shape.end(), '\n', ' ');
    text += "source " + std::to_string(record.source->size) + " " +
            std::to_string(record.source->mtimeNanos) + " " + shape + "\n";
  }
  for (const OwnedFile& f : record.files) {
    text += std::to_string(f.size) + " " + std::to_string(f.mtimeNanos) + " " + f.name + "\n";
  }
  return text;
}

std::optional<Record> parseRecord(std::string_view text) {
  if (!text.starts_with(kRecordHeader)) return std::nullopt;
  text.remove_prefix(kRecordHeader.size());
  Record record;
  constexpr std::string_view kSource = "source ";
  while (!text.empty()) {
    const size_t newline = text.find('\n');
    if (newline == std::string_view::npos) break;  // a cut-off last line says nothing
    std::string_view line = text.substr(0, newline);
    text.remove_prefix(newline + 1);
    if (line.starts_with(kSource)) {
      line.remove_prefix(kSource.size());
      SourceStamp source;
      if (readNumber(line, source.size) && readNumber(line, source.mtimeNanos)) {
        source.shape = std::string(line);
        record.source = std::move(source);
      }
      continue;
    }
    OwnedFile f;
    if (readNumber(line, f.size) && readNumber(line, f.mtimeNanos) && isPlainName(line) &&
        line != kRecordName) {
      f.name = std::string(line);
      record.files.push_back(std::move(f));
    }
  }
  return record;
}

std::optional<SourceStamp> stampOf(const fs::path& path, const std::string& shape) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return SourceStamp{static_cast<uint64_t>(st.st_size),
                     static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                     shape};
}

bool isUpToDate(const fs::path& dir, const SourceStamp& source) {
  const fs::path path = dir / kRecordName;
  if (!describe(path, "")) return false;
  const std::optional<Record> record = parseRecord(readAll(path));
  if (!record || record->source != source || record->files.empty()) return false;
  return std::all_of(record->files.begin(), record->files.end(),
                     [&dir](const OwnedFile& f) { return describe(dir / f.name, f.name) == f; });
}

void rewriteFile(const fs::path& path, std::string_view text) {
  std::error_code ec;
  const fs::path target = fs::canonical(path, ec);
  struct stat st {};
  if (ec || ::stat(target.c_str(), &st) != 0) {
    throw OutputError(systemError("read", path, ec ? ec.value() : errno));
  }
  const fs::path partial = writeWhole(
      target.parent_path() / hidden(target.filename().string(), ".gridwright-sprites.partial"),
      text, st.st_mode & 07777);
  if (::rename(partial.c_str(), target.c_str()) != 0) {
    const int error = errno;
    ::unlink(partial.c_str());
    throw OutputError(systemError("rename", partial, error));
  }
}

OutputFiles::OutputFiles(fs::path dir) : dir_(std::move(dir)) {
  for (fs::path p = fs::absolute(dir_).lexically_normal(); !p.empty() && !present(p);
       p = p.parent_path()) {
    made_.push_back(p);
    if (p == p.parent_path()) break;
  }
  for (auto p = made_.rbegin(); p != made_.rend(); ++p) {
    if (::mkdir(p->c_str(), 0755) != 0 && errno != EEXIST) {
      const int error = errno;
      made_.erase(made_.begin(), p.base());  // what exists now is ours to remove
      throw OutputError(systemError("make", *p, error));
    }
  }
  const fs::path record = dir_ / kRecordName;
  if (!present(record)) return;
  if (!describe(record, "")) throw OutputError(record.string() + " is not a plain file");
  std::optional<Record> files = parseRecord(readAll(record));
  if (!files) {
    throw OutputError(record.string() +
                      " was not written by gridwright-sprites; move it away or choose another "
                      "--output");
  }
  record_ = std::move(files->files);
}

OutputFiles::~OutputFiles() {
  for (const Pending& p : pending_) ::unlink(p.partial.c_str());
  if (committed_) return;
  for (const fs::path& folder : made_) ::rmdir(folder.c_str());  // only while empty
}

bool OutputFiles::owned(const std::string& name) const {
  const std::optional<OwnedFile> now = describe(dir_ / name, name);
  return now && std::find(record_.begin(), record_.end(), *now) != record_.end();
}

void OutputFiles::claim(const std::vector<std::string>& names) const {
  for (const std::string& name : names) {
    if (present(dir_ / name) && !owned(name)) {
      throw OutputError((dir_ / name).string() +
                        " is not a file that gridwright-sprites wrote (or it was changed since); "
                        "move it away or choose another --output");
    }
  }
}

void OutputFiles::write(const std::string& name, std::string_view bytes) {
  claim({name});
  pending_.push_back({name, writeWhole(dir_ / hidden(name, ".partial"), bytes)});
  names_.push_back(name);
}

void OutputFiles::commit(const std::optional<SourceStamp>& source) {
  std::vector<OwnedFile> written;
  for (const Pending& p : pending_) {
    claim({p.name});  // nobody put a file there while we worked
    std::optional<OwnedFile> f = describe(p.partial, p.name);
    if (!f) throw OutputError(systemError("read", p.partial, ENOENT));
    written.push_back(std::move(*f));
  }
  // The record names the new files (a rename keeps size and time) and the earlier ones
  // before anything moves, so that whatever stops the run midway, every file of ours stays
  // known as ours.
  std::vector<OwnedFile> both = written;
  for (const OwnedFile& f : record_) {
    if (describe(dir_ / f.name, f.name) == f) both.push_back(f);
  }
  writeRecord({source, both});
  for (const Pending& p : pending_) {
    if (::rename(p.partial.c_str(), (dir_ / p.name).c_str()) != 0) {
      throw OutputError(systemError("rename", p.partial, errno));
    }
  }
  pending_.clear();
  committed_ = true;
  removeStale(written);
  try {
    writeRecord({source, written});
  } catch (const OutputError&) {
    // The record written before still names every file there is; it only names more.
  }
}

void OutputFiles::writeRecord(const Record& record) const {
  const fs::path partial =
      writeWhole(dir_ / (std::string(kRecordName) + ".partial"), recordText(record));
  if (::rename(partial.c_str(), (dir_ / kRecordName).c_str()) != 0) {
    const int error = errno;
    ::unlink(partial.c_str());
    throw OutputError(systemError("rename", partial, error));
  }
}

void OutputFiles::removeStale(const std::vector<OwnedFile>& written) const {
  for (const OwnedFile& earlier : record_) {
    const bool rewritten = std::any_of(written.begin(), written.end(),
                                       [&](const OwnedFile& f) { return f.name == earlier.name; });
    const std::optional<OwnedFile> now = describe(dir_ / earlier.name, earlier.name);
    if (!rewritten && now && *now == earlier) ::unlink((dir_ / earlier.name).c_str());
  }
}

}  // namespace sprites
