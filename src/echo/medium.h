// The two kinds of recording medium a read-back can come from.
#ifndef KELDRAN_ECHO_MEDIUM_H
#define KELDRAN_ECHO_MEDIUM_H

#include <cstdint>

namespace keldran::echo {

// Longitudinal: a transition reads as a pulse. Perpendicular: as a step from -1 to
// +1 whose slope is that pulse, so that a long run reads its level.
enum class recording_medium : std::uint8_t { longitudinal, perpendicular };

}  // namespace keldran::echo

#endif
