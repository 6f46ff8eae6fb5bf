#include "resample.h"

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

}  // namespace keldran::echo
