// The kernels with one exp() or log() per element, over runs of elements.
//
// Each run is taken in blocks: the exp/log argument of every element of the
// block, then all their exponentials or logarithms at once through libm.hpp
// (the vector path where it has been shown to give the C library's bits),
// then the rest of each element's formula. Every element's arithmetic is
// that of the scalar kernel, operation for operation.
//
// The `_point` forms are the scalar functions' kernels. A point with a NaN
// input is the same code on a run of one element, so that a scalar and an
// array result agree bit for bit, NaN payloads included (see the note on
// TAMRIX_ONE_COMPILED_COPY); any other point, which meets no NaN but the
// default one, takes the plain kernel of one element, which gives the same
// bits at a fraction of the cost.
#pragma once

#include <cstddef>

namespace tamrix::batched {

// out[k] = kernel(inputs[k]) for k < n; arrays are read at [0, n).
void dewtemp(const double* tk, const double* rh, double* out, std::size_t n);
void relhum_ice(const double* t, const double* w, const double* p, double* out, std::size_t n);
void relhum_water(const double* t, const double* w, const double* p, double* out, std::size_t n);
void saturation_vapor_pressure(const double* temperature_f, double* out, std::size_t n);
void saturation_vapor_pressure_slope(const double* temperature_f, double* out, std::size_t n);
void temp_extrapolate(const double* t_bot, double lev, const double* p_sfc, const double* ps,
                      const double* phi_sfc, double* out, std::size_t n);
void geo_height_extrapolate(const double* t_bot, double lev, const double* p_sfc, const double* ps,
                            const double* phi_sfc, double* out, std::size_t n);

// As above, with a target level of its own for every element, lev[k]: each
// element bit-identical to the one-level forms (and so to the scalar ones).
void temp_extrapolate_levels(const double* t_bot, const double* lev, const double* p_sfc,
                             const double* ps, const double* phi_sfc, double* out, std::size_t n);
void geo_height_extrapolate_levels(const double* t_bot, const double* lev, const double* p_sfc,
                                   const double* ps, const double* phi_sfc, double* out,
                                   std::size_t n);

double dewtemp_point(double tk, double rh);
double relhum_ice_point(double t, double w, double p);
double relhum_water_point(double t, double w, double p);
double saturation_vapor_pressure_point(double temperature_f);
double saturation_vapor_pressure_slope_point(double temperature_f);
double temp_extrapolate_point(double t_bot, double lev, double p_sfc, double ps, double phi_sfc);
double geo_height_extrapolate_point(double t_bot, double lev, double p_sfc, double ps,
                                    double phi_sfc);

}  // namespace tamrix::batched
