// Pressure on hybrid sigma-pressure levels.
#pragma once

namespace tamrix::hybrid {

// p = hya * p0 + hyb * psfc, formed as the surface part plus the fixed part.
inline double pressure_at_level(double hya, double hyb, double psfc, double p0) {
  return hyb * psfc + hya * p0;
}

}  // namespace tamrix::hybrid
