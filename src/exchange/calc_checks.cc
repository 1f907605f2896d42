#include "exchange/calc_checks.h"

namespace kv::exchange {

bool FormulaExists(components::IZrCalculation* calc) { return calc != nullptr; }

}  // namespace kv::exchange
