// How a manifest names a file beside or below it: the relative URI reference from the folder a
// manifest is in to a file, as a player resolves it against the manifest's own URL.
//
// Plain functions; any thread. Nothing here throws except std::bad_alloc and
// std::filesystem::filesystem_error when the working folder cannot be read.

#ifndef GRIDWRIGHT_TOOLS_RELATIVE_URI_H_
#define GRIDWRIGHT_TOOLS_RELATIVE_URI_H_

#include <filesystem>
#include <string>

namespace sprites {

// `target` relative to the folder `from`, both made absolute and normalised but not resolved
// through links (a web server serves the tree as its paths name it), with "/" between
// segments and every byte outside RFC 3986's unreserved set percent-encoded ("my clip/x.jpg"
// becomes "my%20clip/x.jpg"; "$" becomes "%24", so it can stand in a DASH template).
std::string relativeUri(const std::filesystem::path& from, const std::filesystem::path& target);

}  // namespace sprites

#endif  // GRIDWRIGHT_TOOLS_RELATIVE_URI_H_
