// Text captures as instruments write them: a header block of any length, a
// time column, several signal columns, ',' ';' or tab separators, decimal
// commas and quoted fields. The decoder cuts the text into lines; this reader
// makes each line's samples.
#ifndef KELDRAN_ECHO_CSV_READER_H
#define KELDRAN_ECHO_CSV_READER_H

#include "capture.h"
#include "errors.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace keldran::echo {

// The first column's values over the lines held back, to tell whether they
// step evenly as time does.
struct csv_time_steps {
    bool numbers = true;     // every line held so far had a finite number there
    std::int64_t lines = 0;  // lines with such a number
    double first = 0;
    double last = 0;
    double smallest = 0;  // the smallest and largest step between consecutive lines
    double largest = 0;
};

// A line held back: its number and where it ends in `csv_reader::held_text`.
struct csv_held_line {
    std::int64_t number = 0;
    std::size_t end = 0;
};

// Where the reading of one text capture stands. Lines are held back only until
// the columns are known: at most `csv_settling_lines` of them, fewer when they
// are long.
struct csv_reader {
    std::int64_t channel = 0;  // from 1, counted after a time column; 0: the last column
    char separator = 0;        // 0 until the first data line shows it
    bool decimal_comma = false;
    bool settled = false;      // columns, and the time column's step, known
    bool time_named = false;   // the header names the first column as time
    bool time_column = false;  // once settled
    std::int64_t columns = 0;  // fields of the first data line
    std::int64_t column = -1;  // the column read, from 0, once settled; -1: each line's last
    std::string last_header;   // until the first data line, which it names the columns of
    std::string held_text;     // data lines held back until settled, one after another
    std::vector<csv_held_line> held;
    csv_time_steps steps;
    std::int64_t data_lines = 0;
    std::int64_t cut_lines = 0;           // data lines that look cut at a decimal comma
    std::int64_t whole_after_commas = 0;  // lines of whole numbers, unsigned after each comma
    std::int64_t previous_fields = 0;
    std::string scratch;  // a field with its decimal comma made a point
};

// Data lines after which the columns and the time step are taken as known.
inline constexpr std::int64_t csv_settling_lines = 4096;

// A reader of the `channel`-th signal column (from 1), or of the last for 0.
csv_reader csv_create(std::int64_t channel);

// Takes line `number` (from 1; without its '\n', perhaps ending in '\r', a
// UTF-8 byte-order mark already gone) and appends the samples it completes to
// `out`, with those of lines held back before it; fills in `info` (channels,
// channel, sample interval) and `signs` (decimal commas) as they become known.
echo_error csv_take_line(csv_reader& reader, std::string_view line, std::int64_t number,
                         std::vector<float>& out, capture_info& info, capture_signs& signs);

// Ends the text: settles the columns on what was read and appends the samples
// of the lines still held back.
echo_error csv_finish(csv_reader& reader, std::vector<float>& out, capture_info& info,
                      capture_signs& signs);

}  // namespace keldran::echo

#endif
