#pragma once
// Converting a value between two units through the units table (a collection of measurement
// types, each with its units as multiplier and offset to the type's standard units), as the
// units command GetConversion does.
#include <string>

#include "com/dispatch.h"

namespace kv::engine {

struct UnitConversion {
  // A value v in `from` is (v * multiplier + offset) in `to`.
  double multiplier = 1;
  double offset = 0;
  double Apply(double v) const { return v * multiplier + offset; }
};

// The conversion between `from` and `to`: identity when they are equal or either is empty;
// otherwise both must be units of one measurement type of `units` (names compare exactly).
// False and the reason in `error` when there is no such conversion.
bool FindConversion(com::IDispatch* units, const std::string& from, const std::string& to, UnitConversion* out,
                    std::string* error);

// Whether `name` is a unit of some measurement type of `units`.
bool UnitExists(com::IDispatch* units, const std::string& name);

}  // namespace kv::engine
