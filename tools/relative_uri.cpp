#include "relative_uri.h"

#include <cctype>
#include <cstdio>

namespace sprites {

namespace fs = std::filesystem;

namespace {

std::string percentEncoded(const std::string& segment) {
  std::string out;
  for (unsigned char c : segment) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      char escape[4];
      std::snprintf(escape, sizeof escape, "%%%02X", c);
      out += escape;
    }
  }
  return out;
}

}  // namespace

std::string relativeUri(const fs::path& from, const fs::path& target) {
  const fs::path relative =
      fs::weakly_canonical(target).lexically_relative(fs::weakly_canonical(from));
  std::string uri;
  for (const fs::path& segment : relative) {
    if (segment == ".") continue;
    if (!uri.empty()) uri += '/';
    uri += percentEncoded(segment.string());
  }
  return uri;
}

}  // namespace sprites
