// The output folder of gridwright-sprites: files written under temporary names and renamed
// together once everything has succeeded, so that a failed run never leaves a sheet or track
// that looks complete.
//
// Main thread only. Errors: OutputError, whose what() is one line naming the file.

#ifndef GRIDWRIGHT_TOOLS_OUTPUT_FILES_H_
#define GRIDWRIGHT_TOOLS_OUTPUT_FILES_H_

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sprites {

class OutputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class OutputFiles {
 public:
  explicit OutputFiles(std::filesystem::path dir);
  // Removes whatever was written and not committed.
  ~OutputFiles();
  OutputFiles(const OutputFiles&) = delete;
  OutputFiles& operator=(const OutputFiles&) = delete;

  // Writes `bytes` under a temporary name (".NAME.partial").
  void write(const std::string& name, std::string_view bytes);

  // Renames every file to its final name, in the order written (the track goes last), then
  // removes the sheets an earlier run left that this run did not write: files named as this
  // tool names sheets ("sheet-" three or more digits ".jpg") and nothing else.
  void commit();

 private:
  void removeStaleSheets(const std::vector<std::filesystem::path>& written) const;

  std::filesystem::path dir_;
  std::vector<std::pair<std::filesystem::path, std::filesystem::path>> files_;
};

// True for a name of the tool's sheet pattern: "sheet-001.jpg", "sheet-1234.jpg".
bool isSheetName(const std::string& name);

}  // namespace sprites

#endif  // GRIDWRIGHT_TOOLS_OUTPUT_FILES_H_
