// Upright sheets for videos whose pictures are shown turned: phone videos carry a display matrix
// (a rotation by 90, 180 or 270 degrees, possibly a mirror) that players apply.
//
// The daemon makes pictures as they are coded, so gridwright-sprites lays out each job's cells
// in the coded orientation such that the sheet, turned as a whole, reads in order (codedCell),
// then turns the sheet's JPEG (orientJpeg).
//
// Plain functions; any thread. orientJpeg throws OrientationError on a JPEG it cannot read.

#ifndef GRIDWRIGHT_TOOLS_ORIENTATION_H_
#define GRIDWRIGHT_TOOLS_ORIENTATION_H_

#include <cstdint>
#include <stdexcept>
#include <utility>

#include "mosaickit/protocol.h"

namespace sprites {

// The eight ways to turn a picture, named as TurboJPEG's transforms (a coded picture S of W x H
// becomes the shown picture F):
//   none       F(x, y) = S(x, y)
//   hflip      F(x, y) = S(W-1-x, y)
//   vflip      F(x, y) = S(x, H-1-y)
//   transpose  F(x, y) = S(y, x)
//   transverse F(x, y) = S(W-1-y, H-1-x)
//   rot90      F(x, y) = S(y, H-1-x)        (clockwise)
//   rot180     F(x, y) = S(W-1-x, H-1-y)
//   rot270     F(x, y) = S(W-1-y, x)        (anticlockwise)
enum class Orientation { none, hflip, vflip, transpose, transverse, rot90, rot180, rot270 };

// The turn a display matrix (libavutil's 3 x 3 form, 16.16 and 2.30 fixed point) asks for,
// rounded to the nearest quarter turn.
Orientation orientationOf(const int32_t matrix[9]);

// Clockwise degrees and mirror, for people: "90", "270 mirrored", ...
std::string describe(Orientation orientation);

// True when the shown picture's width is the coded picture's height.
bool swapsSides(Orientation orientation);

// Of a coded grid of `columns` x `rows` cells, the cell (column, row) that becomes cell
// (shownColumn, shownRow) of the turned grid.
std::pair<int, int> codedCell(Orientation orientation, int shownColumn, int shownRow, int columns,
                              int rows);

class OrientationError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The JPEG turned: losslessly where its size is a whole number of blocks along the edges the
// turn moves, else decoded, turned and encoded again with its own quality (read from its
// quantisation table) and chroma subsampling.
mosaickit::Bytes orientJpeg(const mosaickit::Bytes& jpeg, Orientation orientation);

}  // namespace sprites

#endif  // GRIDWRIGHT_TOOLS_ORIENTATION_H_
