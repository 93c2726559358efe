// Model levels to pressure levels: every variable of a block in one pass.
//
// A block is in its file's own layout, `outer` slabs of `levels` x `inner`
// values ((time, lev, lat, lon) has outer = time and inner = lat * lon), read
// in place: nothing is transposed. Each column's level pressures, bracketing
// levels and weights for all targets are computed once and applied to every
// variable. Every value is, bit for bit, what composing the documented
// kernels on that column in float64 gives:
//   p = pressure_at_hybrid_levels_array(hya, hyb, ps, p0) for the column,
//   x = log(p), g = log(targets) (C library bits) when interpolating in ln p,
//       else x = p, g = targets,
//   interpolate_columns(x, data, g, levels, 1),
// rounded to the output's type. With extrapolation, every target of greater
// pressure than the column's lowest model level (the level of largest
// pressure) is filled from that level instead (see Kind), bit for bit as
// temp_extrapolate_scalar and geo_height_extrapolate_scalar give it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "tamrix/pool.hpp"

namespace tamrix::remap {

// How a variable fills the targets below its lowest model level.
enum class Kind : std::uint8_t {
  plain,         // the lowest level's value
  temperature,   // temp_extrapolate(t_bot = the lowest level's value, K)
  geopotential,  // geo_height_extrapolate(t_bot = Block::t_bot), in m
};

// Values stored as float32 (`single`) or float64.
struct Field {
  const void* data = nullptr;
  bool single = false;
};

struct Output {
  void* data = nullptr;
  bool single = false;
};

struct Variable {
  Field in;    // (outer, levels, inner)
  Output out;  // (outer, targets, inner), every element written
  Kind kind = Kind::plain;
};

struct Block {
  std::size_t outer = 0;
  std::size_t inner = 0;
  // The coefficients of the levels passed, in the order passed: level k has
  // pressure hyb[k] * ps + hya[k] * p0. Both spans have the level count.
  std::span<const double> hya;
  std::span<const double> hyb;
  double p0 = 0.0;
  std::span<const double> targets;  // pressures, in the unit of p0 and ps, any order
  bool log = false;                 // interpolate in ln p, else in p
  bool extrapolate = false;
  Field ps;       // (outer, inner)
  Field phi_sfc;  // (outer, inner), m2 s-2: needed to extrapolate temperature or geopotential
  Field t_bot;    // (outer, inner), K: needed to extrapolate geopotential
  std::span<const Variable> variables;
};

// Remaps every variable of the block, columns split across the worker pool,
// given up when `stop` asks (pool::Stopped is thrown then, and the outputs
// are partly written). Throws tamrix::Failure for a block it cannot read (no
// levels, 2^32 levels or targets, a surface field missing for
// extrapolation), std::bad_alloc when the working tables cannot be
// allocated; the caller checks shapes.
void hybrid_to_pressure(const Block& block, pool::StopCheck stop = {});

}  // namespace tamrix::remap
