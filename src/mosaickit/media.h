// The platform layer for video decoding, over FFmpeg's libavcodec: decoded pictures, decoder
// configuration records built from parameter sets, and opened decoder contexts.
//
// This is the only unit that includes FFmpeg's decoding headers; other units see gridwright types.
// The compositor reads a Picture's AVFrame to scale it (it is the scaler's input format).

#ifndef MOSAICKIT_MEDIA_H_
#define MOSAICKIT_MEDIA_H_

#include <memory>

struct AVFrame;

namespace mosaickit {

// One decoded picture in the decoder's native pixel format (8- or 10-bit YUV 4:2:0, 4:2:2 or
// 4:4:4, limited or full range), cropped exactly to the stream's display window. Owns one
// reference to the frame's reference-counted buffers; move-only. Not thread-safe: one thread at
// a time.
class Picture {
 public:
  Picture();  // empty: frame() must not be called
  explicit Picture(AVFrame* frame);  // takes ownership of `frame`
  ~Picture();
  Picture(Picture&&) noexcept;
  Picture& operator=(Picture&&) noexcept;
  Picture(const Picture&) = delete;
  Picture& operator=(const Picture&) = delete;

  bool empty() const { return frame_ == nullptr; }
  // REQUIRES: !empty().
  const AVFrame& frame() const { return *frame_; }
  int width() const;
  int height() const;

 private:
  struct FrameDeleter {
    void operator()(AVFrame* f) const;
  };
  std::unique_ptr<AVFrame, FrameDeleter> frame_;
};

}  // namespace mosaickit

#endif  // MOSAICKIT_MEDIA_H_
