#include "resample.h"

#include <cmath>

namespace keldran::echo {

resampler make_resampler(int quality)
{
    int error = 0;
    return resampler(src_new(quality, 1, &error));
}

resample_step resample(SRC_STATE* state, std::span<const float> in, std::span<float> out,
                       double ratio)
{
    SRC_DATA data{};
    data.data_in = in.data();
    data.input_frames = static_cast<long>(in.size());
    data.data_out = out.data();
    data.output_frames = static_cast<long>(out.size());
    data.end_of_input = 0;
    data.src_ratio = ratio;
    const int error = src_process(state, &data);
    return {static_cast<std::size_t>(data.input_frames_used),
            static_cast<std::size_t>(data.output_frames_gen), error};
}

resampled resample_all(std::span<const float> in, double ratio, int quality)
{
    // One more output than the ratio promises, for the rounding of the last.
    resampled out{std::vector<float>(
        static_cast<std::size_t>(std::ceil(static_cast<double>(in.size()) * ratio)) + 1)};
    SRC_DATA data{};
    data.data_in = in.data();
    data.input_frames = static_cast<long>(in.size());
    data.data_out = out.samples.data();
    data.output_frames = static_cast<long>(out.samples.size());
    data.end_of_input = 1;
    data.src_ratio = ratio;
    out.error = src_simple(&data, quality, 1);
    out.samples.resize(out.error == 0 ? static_cast<std::size_t>(data.output_frames_gen) : 0);
    return out;
}

}  // namespace keldran::echo
