// The five greeting routines, called through pointers of one type, and the printer of the
// word's bits: the bit-field and pointer-to-function demonstrations.
#include "nibble_word.h"

#include "platform.h"

#include <chrono>
#include <cstdio>

namespace {

using namespace std::chrono_literals;

// Every greeting is announced the same way: a pause, then a tone. Only after both have
// ended does the routine print anything.
void announce()
{
    pause_for(500ms);
    sound_tone(440, 500ms);
}

} // namespace

// Two tabs follow a greeting shorter than 24 characters, one a longer one (some end the
// greeting's text, some start the nibble's), so that, with tab stops every eight columns,
// every "Nibble" starts in column 40. A 4-bit field promotes to int, so it is cast to the
// unsigned int that %x expects.

void function_a(nibble_word word)
{
    announce();
    std::printf("\n\n\tHello from function A!");
    std::printf("\t\tNibble 1 = %x", static_cast<unsigned>(word.nibble1));
}

void function_b(nibble_word word)
{
    announce();
    std::printf("\n\n\tBonjour from function B!");
    std::printf("\tNibble 2 = %x", static_cast<unsigned>(word.nibble2));
}

void function_c(nibble_word word)
{
    announce();
    std::printf("\n\n\tNi hao from function C!");
    std::printf("\t\tNibble 3 = %x", static_cast<unsigned>(word.nibble3));
}

void function_d(nibble_word word)
{
    announce();
    std::printf("\n\n\tGuten tag from function D!\t");
    std::printf("Nibble 4 = %x", static_cast<unsigned>(word.nibble4));
}

void function_e(nibble_word word)
{
    announce();
    std::printf("\n\n\tPrivet from function E!\t\t");
    std::printf("Nibble 5 = %x", static_cast<unsigned>(word.nibble5));
}

// Built from the named fields rather than from the record's raw bits, so the unused bits
// cannot leak into the word whatever they hold, wherever the compiler put them.
std::uint32_t word_of(nibble_word word)
{
    return (std::uint32_t{word.nibble5} << 16) | (std::uint32_t{word.nibble4} << 12) |
           (std::uint32_t{word.nibble3} << 8) | (std::uint32_t{word.nibble2} << 4) |
           std::uint32_t{word.nibble1};
}

void print_word_bits(nibble_word word)
{
    constexpr std::uint32_t top_bit = 0x8000'0000;
    std::uint32_t bits = word_of(word);

    for (int i = 1; i <= 32; ++i) {
        std::putchar((bits & top_bit) != 0 ? '1' : '0');
        bits <<= 1;
        if (i % 4 == 0) {
            std::putchar(' ');
        }
    }
    // A carriage return, not a line feed: the caller's next text starts the new lines.
    std::putchar('\r');
}
