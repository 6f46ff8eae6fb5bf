// Register output sequences and the maximality test.
#include "engine.h"

namespace keldran {

void fill_sequence(std::int32_t* seq, const std::int32_t* taps, std::int32_t order)
{
    const std::int32_t length = sequence_length(order);
    // The register starts in the all-ones state: a zero state would never leave itself.
    for (std::int32_t k = 0; k < order; ++k) {
        seq[k] = 1;
    }
    for (std::int32_t k = 0; k + order < length; ++k) {
        std::int32_t feedback = 0;
        for (std::int32_t j = 0; j < order; ++j) {
            feedback ^= seq[k + j] & taps[j];
        }
        seq[k + order] = feedback;
    }
}

std::int32_t is_maximal(const std::int32_t* seq, std::int32_t order)
{
    const std::int32_t length = sequence_length(order);
    // Window 0 is the start state itself; a later all-ones window means the
    // state came back before the full period.
    for (std::int32_t k = 1; k <= length - order; ++k) {
        std::int32_t all_ones = 1;
        for (std::int32_t j = 0; j < order; ++j) {
            all_ones &= seq[k + j];
        }
        if (all_ones == 1) {
            return 0;
        }
    }
    return 1;
}

}  // namespace keldran
