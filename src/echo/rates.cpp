// The capture's rate, fixed one way: samples per bit given, or a bit rate with
// the sample rate that the capture states or that is given.
#include "measure.h"

#include <cmath>

namespace keldran::echo {

echo_error check_rate_request(const rate_request& request)
{
    if (request.samples_per_bit && request.bit_rate) {
        return {.code = echo_errc::rate_given_twice};
    }
    if (request.sample_rate && !request.bit_rate) {
        return {.code = echo_errc::sample_rate_alone};
    }
    if (!request.samples_per_bit && !request.bit_rate) {
        return {.code = echo_errc::rate_not_given};
    }
    return {};
}

echo_error fix_rates(const rate_request& request, std::optional<double> interval,
                     capture_rates& rates)
{
    if (echo_error error = check_rate_request(request)) {
        return error;
    }
    const std::optional<double> stated =
        interval && *interval > 0 ? std::optional(1 / *interval) : std::nullopt;
    rates.bit_rate = request.bit_rate;
    rates.sample_rate = request.sample_rate ? request.sample_rate : stated;
    if (request.samples_per_bit) {
        rates.samples_per_bit = *request.samples_per_bit;
        return {};
    }
    if (!rates.sample_rate) {
        return {.code = echo_errc::sample_rate_unknown};
    }
    if (request.sample_rate && stated
        && std::abs(*request.sample_rate - *stated) > sample_rate_agreement * *stated) {
        return {.code = echo_errc::sample_rate_disagrees,
                .rate = *request.sample_rate,
                .best_rate = *stated};
    }
    rates.samples_per_bit = *rates.sample_rate / *rates.bit_rate;
    if (!(rates.samples_per_bit > 0 && rates.samples_per_bit <= most_samples_per_bit)) {
        return {.code = echo_errc::rate_out_of_range, .rate = rates.samples_per_bit};
    }
    return {};
}

}  // namespace keldran::echo
