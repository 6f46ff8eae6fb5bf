// The measurement as people and programs read it: a table, or JSON.
#ifndef KELDRAN_ECHO_SUMMARY_H
#define KELDRAN_ECHO_SUMMARY_H

#include "choose.h"
#include "fold.h"
#include "measure.h"
#include "polynomial.h"

#include <string>
#include <string_view>

namespace keldran::echo {

// The effect as people read it: "HTS", "NLTS", "2nd adjacent", "Interaction".
std::string_view effect_title(effect which);

// Why an echo is not separable, as the end of a sentence about it: "lies within
// the reach of the main response: it cannot be told apart".
std::string why_not_separable(const echo_result& echo);

// "longitudinal" or "perpendicular".
std::string_view medium_name(recording_medium medium);

// The effect as JSON names it: "hts", "nlts", "second_adjacent", "interaction".
std::string_view effect_key(effect which);

// A table with a line per echo, and under it why any echo is not separable; with
// a bit rate, the rates and every shift in picoseconds too.
std::string summary_table(const polynomial& poly, const fold_result& fold, const measurement& m,
                          const capture_rates& rates = {});

// One JSON object: polynomial, order, length, samples_per_bit, bit_rate, sample_rate,
// periods, snr_db and echoes [{effect, location, size, separable, shift, shift_ps}],
// with a line end.
std::string summary_json(const polynomial& poly, const fold_result& fold, const measurement& m,
                         const capture_rates& rates = {});

// The best `count` polynomials of a choice as a table: each echo's location and
// whether measure would call it separable, and the smallest distance; what the
// marks mean beneath.
std::string choice_table(const choice_request& request, const choice& chosen, std::size_t count);

// Every polynomial of a choice as one JSON object: order, pw50, pulse, medium,
// window, maximal and polynomials [{rank, polynomial, smallest_distance,
// distances, echoes [{effect, location, absent, separable}]}], with a line end.
std::string choice_json(const choice_request& request, const choice& chosen);

// What a capture holds, as read: format, channels and segments, samples, interval,
// scale and the first and last values; as lines of text or as one JSON object.
std::string capture_table(const capture_info& info);
std::string capture_json(const capture_info& info);

}  // namespace keldran::echo

#endif
