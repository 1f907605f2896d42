#pragma once
// Durations as people write them, for the schedule rates and offsets that travel in days:
// "2s", "500ms", "5min", "1h", "1d", "1h30min" (number and unit pairs; units ms, s, sec, min,
// h, d, w) and ISO 8601 durations such as "PT2S", "P1DT12H" or "PT0.5S".
#include <string_view>

namespace kv::cli {

// The duration in days; false when `text` is not one of these forms (a plain number is not: it
// stays days, as on the wire).
bool ParseDuration(std::string_view text, double* days);

}  // namespace kv::cli
