#include "video_walk.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <map>
#include <string_view>
#include <system_error>

#include "output_files.h"

namespace sprites {

namespace fs = std::filesystem;

namespace {

constexpr std::array<std::string_view, 14> kVideoExtensions = {"mp4", "m4v",  "mov", "mkv", "webm",
                                                               "ts",  "m2ts", "mts", "avi", "h264",
                                                               "264", "h265", "265", "hevc"};

bool isHidden(const fs::path& name) {
  const std::string text = name.filename().string();
  return !text.empty() && text[0] == '.';
}

bool isOutputFolder(const fs::path& folder) {
  std::error_code ec;
  return fs::is_regular_file(folder / kRecordName, ec);
}

// Whether the link at `path` leads to a file inside `root` (both resolved).
bool staysInside(const fs::path& path, const fs::path& root) {
  std::error_code ec;
  const fs::path target = fs::canonical(path, ec);
  if (ec) return false;
  const fs::path base = fs::canonical(root, ec);
  if (ec) return false;
  const auto [end, unused] = std::mismatch(base.begin(), base.end(), target.begin(), target.end());
  return end == base.end();
}

fs::path withoutExtension(const std::string& relative) {
  fs::path p(relative);
  return p.replace_extension();
}

// The videos below `root`, sorted by their relative paths.
std::vector<std::string> walkFolder(const fs::path& root, std::vector<std::string>& problems) {
  std::vector<std::string> found;
  std::error_code ec;
  fs::recursive_directory_iterator it(root, fs::directory_options::none, ec);
  if (ec) problems.push_back(root.string() + ": " + ec.message());
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const fs::directory_entry& entry = *it;
    const fs::path& path = entry.path();
    std::error_code kind;
    if (isHidden(path)) {
      if (entry.is_directory(kind)) it.disable_recursion_pending();
      continue;
    }
    if (entry.is_symlink(kind)) {
      // Links to folders are never followed; links to files only where they stay inside.
      if (entry.is_directory(kind) || !entry.is_regular_file(kind) || !staysInside(path, root)) {
        continue;
      }
    } else if (entry.is_directory(kind)) {
      if (isOutputFolder(path)) it.disable_recursion_pending();
      continue;
    }
    if (entry.is_regular_file(kind) && hasVideoExtension(path)) {
      found.push_back(path.lexically_relative(root).generic_string());
    }
  }
  if (ec) problems.push_back(root.string() + ": " + ec.message());
  std::sort(found.begin(), found.end());
  return found;
}

}  // namespace

bool hasVideoExtension(const fs::path& path) {
  std::string ext = path.extension().string();
  if (ext.empty()) return false;
  ext.erase(0, 1);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return std::find(kVideoExtensions.begin(), kVideoExtensions.end(), ext) != kVideoExtensions.end();
}

bool inShard(const std::string& relative, const Shard& shard) {
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : relative) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash % static_cast<uint64_t>(shard.count) == static_cast<uint64_t>(shard.index);
}

VideoWalk findVideos(const std::vector<std::string>& inputs, const std::string& output,
                     const std::optional<Shard>& shard) {
  VideoWalk walk;
  std::error_code ec;
  walk.library = inputs.size() > 1 || std::any_of(inputs.begin(), inputs.end(), [](auto& in) {
                   std::error_code e;
                   return fs::is_directory(in, e);
                 });
  std::map<std::string, std::string> byOutput;  // output folder -> the first file it is for
  auto add = [&](const fs::path& path, const std::string& relative) {
    if (shard && !inShard(relative, *shard)) return;
    fs::path out;
    if (!walk.library) {
      out = output.empty() ? path.parent_path() / (path.stem().string() + "-sprites")
                           : fs::path(output);
    } else if (!output.empty()) {
      out = fs::path(output) / withoutExtension(relative);
    } else {
      out = path.parent_path() / (path.stem().string() + "-sprites");
    }
    const auto [first, fresh] = byOutput.emplace(out.lexically_normal().string(), path.string());
    walk.files.push_back({path, relative, out, fresh ? "" : first->second});
  };
  for (const std::string& input : inputs) {
    if (fs::is_directory(input, ec)) {
      for (const std::string& relative : walkFolder(input, walk.problems)) {
        add(fs::path(input) / relative, relative);
      }
    } else {
      add(input, fs::path(input).filename().string());
    }
  }
  return walk;
}

}  // namespace sprites
