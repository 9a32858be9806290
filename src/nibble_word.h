// The bit-field record and the routines that show it: five 4-bit nibbles packed into one
// 32-bit word, five greeting routines of one signature, and a printer for the word's bits.
#pragma once

#include <cstdint>

// Five unsigned 4-bit fields in one 32-bit unsigned storage unit, which leave 12 of its
// bits unused: the program never sets or reads those, they are only copied with the record.
//
// Which end of the unit the first field takes is the compiler's choice, not the language's.
// GCC, Clang and MSVC start at the least significant end on x86 and ARM (nibble1 holds bits
// 0-3, nibble5 bits 16-19), GCC on s390x at the most significant (nibble1 holds bits 28-31,
// nibble5 bits 12-15). So the program never reads the record's raw bits: word_of builds the
// word from the named fields.
struct nibble_word {
    unsigned nibble1 : 4;
    unsigned nibble2 : 4;
    unsigned nibble3 : 4;
    unsigned nibble4 : 4;
    unsigned nibble5 : 4;
};

// The whole record fits in, and is passed as, one 32-bit unit.
static_assert(sizeof(nibble_word) == sizeof(std::uint32_t));

// A pointer to a routine that takes a nibble_word by value and returns nothing: all five
// greeting routines have this type, so one variable can call any of them.
using greeting_fn = void (*)(nibble_word);

// Each waits, sounds a tone, then prints a greeting in its own language and the nibble of
// the record that its letter stands for (A for nibble1 ... E for nibble5).
void function_a(nibble_word word);
void function_b(nibble_word word);
void function_c(nibble_word word);
void function_d(nibble_word word);
void function_e(nibble_word word);

// The record's five nibbles side by side, nibble5 most significant; bits 20-31 are zero.
std::uint32_t word_of(nibble_word word);

// Prints word_of(word) as 32 binary digits in groups of four, each group followed by a
// space, then a carriage return.
void print_word_bits(nibble_word word);
