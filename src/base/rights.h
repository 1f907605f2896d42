#pragma once
// The rights the access gate asks about, one bit each as the authorization service knows them,
// and the command error each refusal reports.
#include <cstdint>

#include "base/error_codes.h"

namespace kv::security {

// Create, modify, delete, copy or rename calculations of every kind / of the CalcScript kind.
inline constexpr uint32_t kRightCalc = 0x10;
inline constexpr uint32_t kRightCalcScriptCalc = 0x20;
// Execute calculations.
inline constexpr uint32_t kRightExecute = 0x40;
// Create, modify, delete, copy or rename libraries of every kind / of the CalcScript kind.
inline constexpr uint32_t kRightLibrary = 0x100;
inline constexpr uint32_t kRightCalcScriptLibrary = 0x200;
// Change schedule groups and what they schedule.
inline constexpr uint32_t kRightSchedule = 0x1000;
// Change measurement types and units.
inline constexpr uint32_t kRightUnits = 0x10000;

// Refusal codes. A calculation or library command refused both rights reports the first code
// of its pair; one holding only the CalcScript right reports the second for any object that is
// not a CalcScript object (the command decides that).
inline constexpr long kRefusedCalc = CMDERR_DENIED_CALC;                           // 192
inline constexpr long kRefusedNonScriptCalc = CMDERR_DENIED_NONSCRIPT_CALC;        // 193
inline constexpr long kRefusedExecute = CMDERR_DENIED_EXECUTE;                     // 194
inline constexpr long kRefusedLibrary = CMDERR_DENIED_LIBRARY;                     // 195
inline constexpr long kRefusedNonScriptLibrary = CMDERR_DENIED_NONSCRIPT_LIBRARY;  // 196
inline constexpr long kRefusedSchedule = CMDERR_DENIED_SCHEDULE;                   // 197
inline constexpr long kRefusedUnits = CMDERR_DENIED_UNITS;                         // 198

// The refusal code of a single right (0x20 and 0x200 give their "non-CalcScript" codes); 0 for
// a value that is not one of the rights above.
constexpr long RefusalCodeOf(uint32_t right) {
  switch (right) {
    case kRightCalc: return kRefusedCalc;
    case kRightCalcScriptCalc: return kRefusedNonScriptCalc;
    case kRightExecute: return kRefusedExecute;
    case kRightLibrary: return kRefusedLibrary;
    case kRightCalcScriptLibrary: return kRefusedNonScriptLibrary;
    case kRightSchedule: return kRefusedSchedule;
    case kRightUnits: return kRefusedUnits;
    default: return 0;
  }
}

}  // namespace kv::security
