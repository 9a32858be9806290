// Shows three low-level data features at work: bit-fields (a word of five nibbles), a
// union (an int and a double sharing storage) and pointers to functions (five greeting
// routines of one signature, called in turn).
#include "nibble_word.h"
#include "platform.h"
#include "shared_value.h"

#include <cstdio>

int main(int /*argc*/, char* /*argv*/[])
{
    // Keys pressed before the prompt stay unseen, and the console is handed back as it
    // was found, however the run ends.
    const console_session console;

    std::printf("Demo bit-field, union, pointer-to-function... ");

    const nibble_word word{
        .nibble1 = 0xA,
        .nibble2 = 0xB,
        .nibble3 = 0xC,
        .nibble4 = 0xD,
        .nibble5 = 0xE,
    };

    // One signature, five routines: each call goes through a greeting_fn and gets its own
    // copy of the record.
    const greeting_fn greetings[] = {function_a, function_b, function_c, function_d, function_e};
    for (const greeting_fn greet : greetings) {
        greet(word);
    }

    std::printf("\n\n\nWord with nibbles looks like:\n\t");
    print_word_bits(word);
    std::printf("\n\n");

    show_shared_value();

    std::printf("\n\nPress any key to exit...\n");
    wait_for_key();
    // 0, or 1 if some of the text above could not be written (to a full disk, say).
    return exit_status();
}
