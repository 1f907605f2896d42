#pragma once
// Checks the exchange and execution commands ask of a calculation after loading it.
#include "components/calc_components.h"

namespace kv::exchange {

// Whether every formula the calculation uses exists (the calculation's CheckFormula).
bool FormulaExists(components::IZrCalculation* calc);

}  // namespace kv::exchange
