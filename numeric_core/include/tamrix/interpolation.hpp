// Batch re-gridding of vertical columns onto common target levels.
#pragma once

#include <cstdint>
#include <span>

#include "tamrix/buffer.hpp"
#include "tamrix/pool.hpp"

namespace tamrix::interpolation {

// Interpolates `ncols` columns, each of `nlev_in` levels, onto `new_levels`.
//
// Layout (column after column): the coordinate of column j at level i is
// xp_flat[j * nlev_in + i], its value data_flat[j * nlev_in + i]; element
// j * nlev_out + k of the result is column j at new_levels[k]. Longer input
// arrays are accepted, their tails ignored.
//
// Piecewise linear in the coordinate as passed. Each column is ascending when
// its last coordinate is >= its first, otherwise (NaN ends included)
// descending; a target outside the column's end levels gives NaN. The
// bracketing level is the first one, counted from level 0, at or beyond the
// target; a pair narrower than 1e-30 yields its lower-index value.
//
// Columns run as separate tasks on the worker pool, given up when `stop` asks
// (pool::Stopped is thrown then). Throws tamrix::Failure for an empty
// `new_levels`, for a column stretch beyond the end of `xp_flat` or
// `data_flat`, and for `nlev_in` = 0 with columns to fill; std::bad_alloc when
// the result cannot be allocated.
DoubleBuffer interpolate_columns(std::span<const double> xp_flat, std::span<const double> data_flat,
                                 std::span<const double> new_levels, std::uint64_t nlev_in,
                                 std::uint64_t ncols, pool::StopCheck stop = {});

}  // namespace tamrix::interpolation
