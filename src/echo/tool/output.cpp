#include "output.h"

#include <array>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <vector>

namespace keldran::echo::tool {

int fail(int status, const std::string& message)
{
    const std::string line = "keldran-echo: " + message + "\n";
    std::fputs(line.c_str(), stderr);
    return status;
}

bool open_output(output& out)
{
    if (out.path.empty() || out.path == "-") {
        out.file = stdout;
        return true;
    }
    out.file = std::fopen(out.path.c_str(), "wb");
    return out.file != nullptr;
}

bool close_output(output& out)
{
    const bool written = std::ferror(out.file) == 0 && std::fflush(out.file) == 0;
    if (out.file != stdout) {
        return std::fclose(out.file) == 0 && written;
    }
    return written;
}

int write_failed(const output& out)
{
    const std::string name = out.file == stdout ? std::string("standard output") : out.path;
    return fail(status_failed, "cannot write " + name + ": " + std::strerror(errno));
}

int print_text(const std::string& text)
{
    output out{};
    open_output(out);
    std::fwrite(text.data(), 1, text.size(), out.file);
    return close_output(out) ? status_ok : write_failed(out);
}

void write_samples(std::FILE* file, std::span<const float> samples)
{
    constexpr unsigned byte_bits = 8;
    constexpr unsigned byte_mask = 0xFFU;
    std::vector<unsigned char> bytes(samples.size() * sizeof(float));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const auto word = std::bit_cast<std::uint32_t>(samples[i]);
        for (std::size_t b = 0; b < sizeof(float); ++b) {
            bytes[i * sizeof(float) + b] =
                static_cast<unsigned char>((word >> (byte_bits * b)) & byte_mask);
        }
    }
    std::fwrite(bytes.data(), 1, bytes.size(), file);
}

void write_csv(std::FILE* file, std::span<const float> samples)
{
    constexpr std::size_t room = 32;
    std::string text;
    std::array<char, room> number{};
    for (const float y : samples) {
        const auto [end, ec] = std::to_chars(number.data(), number.data() + number.size(), y);
        text.append(number.data(), ec == std::errc{} ? end : number.data());
        text += '\n';
    }
    std::fwrite(text.data(), 1, text.size(), file);
}

}  // namespace keldran::echo::tool
