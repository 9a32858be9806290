// The nibble word, the greeting routines, the bit pattern and the shared value, run on
// the fake platform and compared byte for byte with what they must print.
#include "capture.h"
#include "nibble_word.h"
#include "shared_value.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

using namespace std::chrono_literals;

namespace {

nibble_word record_of(unsigned n1, unsigned n2, unsigned n3, unsigned n4, unsigned n5)
{
    nibble_word word{};
    word.nibble1 = n1;
    word.nibble2 = n2;
    word.nibble3 = n3;
    word.nibble4 = n4;
    word.nibble5 = n5;
    return word;
}

const nibble_word driver_record = record_of(0xA, 0xB, 0xC, 0xD, 0xE);

// The record's four bytes read as one number, the unused bits 20-31 masked off: they are
// padding, whose value the language leaves unspecified however the record was made.
std::uint32_t field_bits(nibble_word word)
{
    std::uint32_t bits = 0;
    std::memcpy(&bits, &word, sizeof bits);
    return bits & 0xF'FFFFu;
}

// The same nibbles with every one of the unused bits 20-31 set.
const nibble_word driver_record_high_bits_set =
    std::bit_cast<nibble_word>(std::uint32_t{0xFFF'EDCBA});

struct routine_case {
    greeting_fn routine;
    std::string text_before_digit; // the greeting and the nibble text, up to the digit
    unsigned driver_digit;
};

const routine_case routines[] = {
    {function_a, "\n\n\tHello from function A!\t\tNibble 1 = ", 0xA},
    {function_b, "\n\n\tBonjour from function B!\tNibble 2 = ", 0xB},
    {function_c, "\n\n\tNi hao from function C!\t\tNibble 3 = ", 0xC},
    {function_d, "\n\n\tGuten tag from function D!\tNibble 4 = ", 0xD},
    {function_e, "\n\n\tPrivet from function E!\t\tNibble 5 = ", 0xE},
};

std::string greeting_output(nibble_word word, greeting_fn routine)
{
    return capture([&] { routine(word); }).output;
}

std::string bits_output(nibble_word word)
{
    return capture([&] { print_word_bits(word); }).output;
}

} // namespace

TEST(NibbleWord, FieldsSitInTheLowTwentyBitsNibbleOneLowest)
{
    EXPECT_EQ(field_bits(driver_record), 0xE'DCBAu);
    const nibble_word from_bits = std::bit_cast<nibble_word>(std::uint32_t{0x0005'4321});
    EXPECT_EQ(from_bits.nibble1, 1u);
    EXPECT_EQ(from_bits.nibble3, 3u);
    EXPECT_EQ(from_bits.nibble5, 5u);
}

TEST(NibbleWord, WordIsTheFiveNibblesAndIgnoresTheUnusedBits)
{
    EXPECT_EQ(word_of(driver_record), 0xEDCBAu);
    EXPECT_EQ(word_of(driver_record_high_bits_set), 0xEDCBAu);
    EXPECT_EQ(word_of(std::bit_cast<nibble_word>(std::uint32_t{0xFFFF'FFFF})), 0xF'FFFFu);
    EXPECT_EQ(word_of(record_of(0, 0, 0, 0, 0)), 0u);
}

TEST(GreetingRoutines, EachPausesSoundsItsToneThenPrintsItsLine)
{
    const std::vector<platform_event> pause_then_tone = {
        {"pause", 0, 500ms, 0},
        {"tone", 440, 500ms, 0},
    };
    for (const routine_case& each : routines) {
        const captured run = capture([&] { each.routine(driver_record); });
        const char digit[] = {"0123456789abcdef"[each.driver_digit], '\0'};
        EXPECT_EQ(run.output, each.text_before_digit + digit);
        // Both waits come before the first byte of the line.
        EXPECT_EQ(run.events, pause_then_tone) << each.text_before_digit;
    }
}

TEST(GreetingRoutines, PrintTheirNibbleAsOneLowerCaseHexDigit)
{
    for (const routine_case& each : routines) {
        EXPECT_EQ(greeting_output(record_of(0, 0, 0, 0, 0), each.routine),
                  each.text_before_digit + "0");
        EXPECT_EQ(greeting_output(record_of(15, 15, 15, 15, 15), each.routine),
                  each.text_before_digit + "f");
        // Each routine shows its own nibble and no other.
        EXPECT_EQ(greeting_output(record_of(1, 2, 3, 4, 5), each.routine),
                  each.text_before_digit + std::to_string(&each - routines + 1));
    }
}

TEST(GreetingRoutines, IgnoreTheUnusedBits)
{
    for (const routine_case& each : routines) {
        EXPECT_EQ(greeting_output(driver_record_high_bits_set, each.routine),
                  greeting_output(driver_record, each.routine));
    }
}

TEST(WordBits, DriverRecordIsEightGroupsThenACarriageReturn)
{
    EXPECT_EQ(bits_output(driver_record), "0000 0000 0000 1110 1101 1100 1011 1010 \r");
}

TEST(WordBits, AllZeroRecordIsEightGroupsOfZeros)
{
    EXPECT_EQ(bits_output(record_of(0, 0, 0, 0, 0)), "0000 0000 0000 0000 0000 0000 0000 0000 \r");
}

TEST(WordBits, MostSignificantFirstAndTheUnusedBitsNeverShow)
{
    EXPECT_EQ(bits_output(record_of(1, 0, 0, 0, 8)), "0000 0000 0000 1000 0000 0000 0000 0001 \r");
    EXPECT_EQ(bits_output(driver_record_high_bits_set), bits_output(driver_record));
    EXPECT_EQ(bits_output(std::bit_cast<nibble_word>(std::uint32_t{0xFFFF'FFFF})),
              "0000 0000 0000 1111 1111 1111 1111 1111 \r");
}

TEST(WordBits, PrintingWaitsForNothing)
{
    EXPECT_TRUE(capture([] { print_word_bits(driver_record); }).events.empty());
}

TEST(SharedValue, ShowsTheSameBytesThroughBothTypes)
{
    const captured run = capture(show_shared_value);
    EXPECT_EQ(run.output, "\nShared int printed as an int =\t\t100"
                          "\nShared int printed as a float =\t\t0.000000"
                          "\nShared double printed as a float =\t100.000000"
                          "\nShared double printed as an int =\t0");
    EXPECT_TRUE(run.events.empty());
}
