#include "exchange/calc_checks.h"

namespace kv::exchange {

bool FormulaExists(components::IZrCalculation* calc) { return calc != nullptr && com::SUCCEEDED(calc->CheckFormula()); }

}  // namespace kv::exchange
