// The companion's command line: the learner's values for the record and the union, and the
// form of the output. Read without the heap: every text stays where argv has it.
#pragma once

#include "nibble_word.h"

#include <cstdint>

// What the companion shows: the lesson's values unless the learner gives others.
struct bytes_options {
    nibble_word word{
        .nibble1 = 0xA, .nibble2 = 0xB, .nibble3 = 0xC, .nibble4 = 0xD, .nibble5 = 0xE};
    std::int32_t as_int = 100;
    double as_double = 100.0;
    const char* int_text = "100"; // as written after `as_int =`, for the union's labels
    const char* double_text = "100.0";
    bool yours = false; // some value was given: every reading is then printed exactly
    bool json = false;
    bool help = false;
};

// Reads argv into options. A value that a field cannot hold is kept as the compiler keeps
// it, with one line on standard error saying so. Anything else wrong is said in one line
// on standard error, and the result is false: the caller then exits with status 2.
bool read_options(int argc, char* argv[], bytes_options& options);

// What --help prints.
void print_usage();
