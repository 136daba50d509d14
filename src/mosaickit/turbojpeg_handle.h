// Owners for TurboJPEG's two kinds of object: a handle (compressor, decompressor or transformer),
// freed with tjDestroy, and a buffer TurboJPEG allocated for its output, freed with tjFree.
// Header-only, so that programs on the client library alone may use it without linking the
// daemon's library; they link TurboJPEG themselves.

#ifndef MOSAICKIT_TURBOJPEG_HANDLE_H_
#define MOSAICKIT_TURBOJPEG_HANDLE_H_

#include <turbojpeg.h>

#include <memory>

namespace mosaickit {

struct TjHandleDeleter {
  void operator()(void* h) const { tjDestroy(h); }
};
using TjHandle = std::unique_ptr<void, TjHandleDeleter>;

struct TjBufferDeleter {
  void operator()(unsigned char* b) const { tjFree(b); }
};
using TjBuffer = std::unique_ptr<unsigned char, TjBufferDeleter>;

}  // namespace mosaickit

#endif  // MOSAICKIT_TURBOJPEG_HANDLE_H_
