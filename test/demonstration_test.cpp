// The nibble word, the greeting routines and the bit pattern, run on the fake platform
// and compared byte for byte with what they must print, for other records than the
// lesson's too. The lesson's own run, its waits and the union's lines, is the golden
// transcript's (program_test.cpp).
#include "capture.h"
#include "nibble_word.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

namespace {

// Made by name, from four zero bytes: the bits that no field holds stay zero.
nibble_word record_of(unsigned n1, unsigned n2, unsigned n3, unsigned n4, unsigned n5)
{
    auto word = std::bit_cast<nibble_word>(std::uint32_t{0});
    word.nibble1 = n1;
    word.nibble2 = n2;
    word.nibble3 = n3;
    word.nibble4 = n4;
    word.nibble5 = n5;
    return word;
}

const nibble_word driver_record = record_of(0xA, 0xB, 0xC, 0xD, 0xE);

// The record with every bit that no field holds set as well. Which bits those are is found
// by name, from a record whose fields are all ones: so it holds whatever the order of the
// fields and the byte order of the machine.
nibble_word with_unused_bits_set(nibble_word word)
{
    const auto unused = ~std::bit_cast<std::uint32_t>(record_of(15, 15, 15, 15, 15));
    return std::bit_cast<nibble_word>(std::bit_cast<std::uint32_t>(word) | unused);
}

// In hex, as the lesson shows its values, so that a failure reads the same way.
std::string hex(std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(value));
    return text;
}

// The golden transcript's five greeting lines, with `digits` for the five nibbles.
std::string golden_greetings(const std::string& digits)
{
    std::ifstream file(GOLDEN_TRANSCRIPT, std::ios::binary);
    const std::string transcript{std::istreambuf_iterator<char>(file), {}};
    const std::size_t first = transcript.find("\n\n\t");
    std::string lines = transcript.substr(first, transcript.find("\n\n\nWord") - first);
    std::size_t at = 0;
    for (const char digit : digits) {
        at = lines.find(" = ", at) + 3;
        lines.at(at) = digit;
    }
    return lines;
}

std::string bits_output(nibble_word word)
{
    return capture([&] { print_word_bits(word); }).output;
}

} // namespace

// Where the fields lie in the unit is the compiler's choice: GCC and Clang start at the
// least significant end on little-endian machines, GCC at the most significant on s390x.
TEST(NibbleWord, LittleEndianLayoutNibbleOneLowest)
{
    EXPECT_EQ(hex(std::bit_cast<std::uint32_t>(driver_record) & 0xF'FFFFu), "0xEDCBA");
    const nibble_word from_bits = std::bit_cast<nibble_word>(std::uint32_t{0x0005'4321});
    EXPECT_EQ(hex(from_bits.nibble1), "0x1");
    EXPECT_EQ(hex(from_bits.nibble3), "0x3");
    EXPECT_EQ(hex(from_bits.nibble5), "0x5");
}

TEST(NibbleWord, WordIsTheFiveNibblesAndIgnoresTheUnusedBits)
{
    EXPECT_EQ(hex(word_of(driver_record)), "0xEDCBA");
    EXPECT_EQ(hex(word_of(with_unused_bits_set(driver_record))), "0xEDCBA");
    EXPECT_EQ(hex(word_of(record_of(1, 2, 3, 4, 5))), "0x54321");
    EXPECT_EQ(hex(word_of(with_unused_bits_set(record_of(0, 0, 0, 0, 0)))), "0x0");
}

// Each routine shows its own nibble and no other, in lower case, whatever the other bits.
TEST(GreetingRoutines, PrintTheirLinesWithTheirOwnNibble)
{
    const greeting_fn routines[] = {function_a, function_b, function_c, function_d, function_e};
    const std::pair<nibble_word, std::string> cases[] = {
        {record_of(0, 0, 0, 0, 0), "00000"},
        {record_of(15, 15, 15, 15, 15), "fffff"},
        {record_of(1, 2, 3, 4, 5), "12345"},
        {with_unused_bits_set(driver_record), "abcde"},
    };
    for (const auto& [word, digits] : cases) {
        std::string printed;
        for (const greeting_fn routine : routines) {
            printed += capture([&, word = word] { routine(word); }).output;
        }
        EXPECT_EQ(printed, golden_greetings(digits));
    }
}

TEST(WordBits, MostSignificantFirstAndTheUnusedBitsNeverShow)
{
    EXPECT_EQ(bits_output(record_of(0, 0, 0, 0, 0)), "0000 0000 0000 0000 0000 0000 0000 0000 \r");
    EXPECT_EQ(bits_output(record_of(1, 0, 0, 0, 8)), "0000 0000 0000 1000 0000 0000 0000 0001 \r");
    EXPECT_EQ(bits_output(with_unused_bits_set(driver_record)), bits_output(driver_record));
    EXPECT_EQ(bits_output(with_unused_bits_set(record_of(15, 15, 15, 15, 15))),
              "0000 0000 0000 1111 1111 1111 1111 1111 \r");
}
