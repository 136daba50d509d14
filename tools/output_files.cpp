#include "output_files.h"

#include <algorithm>
#include <cctype>
#include <fstream>

namespace sprites {

namespace fs = std::filesystem;

bool isSheetName(const std::string& name) {
  constexpr std::string_view prefix = "sheet-", suffix = ".jpg";
  if (name.size() < prefix.size() + 3 + suffix.size() || !name.starts_with(prefix) ||
      !name.ends_with(suffix)) {
    return false;
  }
  const std::string_view digits(name.data() + prefix.size(),
                                name.size() - prefix.size() - suffix.size());
  return std::all_of(digits.begin(), digits.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

OutputFiles::OutputFiles(fs::path dir) : dir_(std::move(dir)) {}

OutputFiles::~OutputFiles() {
  std::error_code ec;
  for (const auto& [partial, final] : files_) fs::remove(partial, ec);
}

void OutputFiles::write(const std::string& name, std::string_view bytes) {
  const fs::path final = dir_ / name;
  const fs::path partial = dir_ / ("." + name + ".partial");
  std::ofstream out(partial, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  files_.emplace_back(partial, final);
  if (!out) throw OutputError("cannot write " + partial.string());
}

void OutputFiles::commit() {
  std::vector<fs::path> written;
  for (const auto& [partial, final] : files_) {
    std::error_code ec;
    fs::rename(partial, final, ec);
    if (ec) throw OutputError("cannot rename " + partial.string() + ": " + ec.message());
    written.push_back(final.filename());
  }
  files_.clear();
  removeStaleSheets(written);
}

void OutputFiles::removeStaleSheets(const std::vector<fs::path>& written) const {
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir_, ec)) {
    const fs::path name = entry.path().filename();
    // Only plain files: a folder or link someone named like a sheet is not ours to remove.
    if (!isSheetName(name.string()) || !entry.is_regular_file(ec) || entry.is_symlink(ec)) {
      continue;
    }
    if (std::find(written.begin(), written.end(), name) == written.end()) {
      fs::remove(entry.path(), ec);
    }
  }
}

}  // namespace sprites
