// The demonstration's companion: prints the lesson's objects (the nibble word, the union and
// the table of greeting routines) as the bytes they are in memory, lowest address first,
// and what this machine makes of them: its byte order and the sizes of its types. It runs
// in an instant: no pauses, no tones, no key.
#include "nibble_word.h"
#include "platform.h"
#include "shared_value.h"

#include <array>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

// The greeting routines pause and sound a tone. This program only looks at where they are
// and never calls them, so it links these silent stand-ins instead of a platform.
void pause_for(std::chrono::milliseconds /*duration*/) {}
void sound_tone(int /*frequency_hz*/, std::chrono::milliseconds /*duration*/) {}

namespace {

// An object's bytes, lowest address first. Any object may be copied into an array of
// unsigned char: that is how the language lets a program look at its representation.
template <typename T>
std::array<unsigned char, sizeof(T)> bytes_of(const T& object)
{
    std::array<unsigned char, sizeof(T)> bytes{};
    std::memcpy(bytes.data(), &object, sizeof(T));
    return bytes;
}

// The field that holds each bit of a nibble_word (1 for nibble1 ... 5, 0 for none), by byte
// and by bit (0 the least significant), found by experiment: in a record whose bytes are
// all zero, one field is set to all ones, and the bits that changed are that field's.
using bit_owners = std::array<std::array<int, 8>, sizeof(nibble_word)>;

// Sets one field to all ones: one routine per field, reached through a pointer.
using field_setter = void (*)(nibble_word&);
const field_setter set_all_ones[] = {
    [](nibble_word& word) { word.nibble1 = 0xF; }, [](nibble_word& word) { word.nibble2 = 0xF; },
    [](nibble_word& word) { word.nibble3 = 0xF; }, [](nibble_word& word) { word.nibble4 = 0xF; },
    [](nibble_word& word) { word.nibble5 = 0xF; },
};

nibble_word zeroed_record_with_field_set(int field)
{
    nibble_word word;
    std::memset(&word, 0, sizeof word);
    set_all_ones[field - 1](word);
    return word;
}

bit_owners find_bit_owners()
{
    bit_owners owner{};
    for (int field = 1; field <= 5; ++field) {
        const auto bytes = bytes_of(zeroed_record_with_field_set(field));
        for (std::size_t byte = 0; byte < bytes.size(); ++byte) {
            for (int bit = 0; bit < 8; ++bit) {
                if (((bytes[byte] >> bit) & 1) != 0) {
                    owner[byte][bit] = field;
                }
            }
        }
    }
    return owner;
}

// One row of the record's picture: for each byte, its bits from the most significant down,
// each as `show` has it, or '-' where no field owns the bit.
template <typename Show>
void print_bit_row(const char* label, const bit_owners& owner, Show show)
{
    std::printf("  %-9s", label);
    for (std::size_t byte = 0; byte < owner.size(); ++byte) {
        std::printf(byte == 0 ? "" : "  ");
        for (int bit = 7; bit >= 0; --bit) {
            std::printf(bit == 3 ? " " : "");
            std::putchar(owner[byte][bit] == 0 ? '-' : show(byte, bit));
        }
    }
    std::putchar('\n');
}

// A hex digit of a byte, showing only the bits that some field owns; '-' if none does.
char hex_digit(unsigned char byte, const std::array<int, 8>& owner, int lowest_bit)
{
    unsigned used = 0;
    for (int bit = lowest_bit; bit < lowest_bit + 4; ++bit) {
        used |= (owner[bit] != 0 ? 1u : 0u) << (bit - lowest_bit);
    }
    return used == 0 ? '-' : "0123456789abcdef"[(byte >> lowest_bit) & used];
}

void show_nibble_word()
{
    // As main sets it.
    const nibble_word word{
        .nibble1 = 0xA, .nibble2 = 0xB, .nibble3 = 0xC, .nibble4 = 0xD, .nibble5 = 0xE};
    const auto bytes = bytes_of(word);
    const bit_owners owner = find_bit_owners();

    std::printf("nibble_word, as main sets it: %zu bytes; - marks a bit no field uses\n",
                sizeof word);
    std::printf("  byte     ");
    for (std::size_t byte = 0; byte < bytes.size(); ++byte) {
        std::printf("%s%zu", byte == 0 ? "" : "          ", byte);
    }
    std::printf("\n  hex      ");
    for (std::size_t byte = 0; byte < bytes.size(); ++byte) {
        std::printf("%s%c%c", byte == 0 ? "" : "         ", hex_digit(bytes[byte], owner[byte], 4),
                    hex_digit(bytes[byte], owner[byte], 0));
    }
    std::putchar('\n');
    print_bit_row("binary", owner, [&](std::size_t byte, int bit) {
        return ((bytes[byte] >> bit) & 1) != 0 ? '1' : '0';
    });
    print_bit_row("nibble", owner, [&](std::size_t byte, int bit) {
        return static_cast<char>('0' + owner[byte][bit]);
    });

    // The same experiment, with the record read as the 32-bit number its unit holds.
    std::printf(
        "  bits of the unit, read as one 32-bit number (bit 0 the least significant):\n   ");
    for (int field = 1; field <= 5; ++field) {
        std::uint32_t unit = 0;
        const nibble_word one_field = zeroed_record_with_field_set(field);
        std::memcpy(&unit, &one_field, sizeof unit);
        std::printf("%s nibble%d %d-%d", field == 1 ? "" : ",", field, std::countr_zero(unit),
                    31 - std::countl_zero(unit));
    }
    std::putchar('\n');
}

// One row of the union's picture: its eight bytes after a write, then what each member
// reads from them. Both are read from the bytes: the member not written last may not be
// read directly in C++ (see shared_value.h).
void print_union_row(const char* write, shared_value value)
{
    const auto bytes = bytes_of(value);
    std::int32_t as_int = 0;
    double as_double = 0;
    std::memcpy(&as_int, bytes.data(), sizeof as_int);
    std::memcpy(&as_double, bytes.data(), sizeof as_double);

    std::printf("  %-19s", write);
    for (const unsigned char byte : bytes) {
        std::printf("%02x ", byte);
    }
    std::printf("%12d %11.3g\n", as_int, as_double);
}

void show_shared_value_bytes()
{
    shared_value value{.as_double = 0.0}; // as the demonstration starts it: eight zero bytes
    std::printf("\nshared_value: %zu bytes; as_int is the first %zu, as_double all %zu\n",
                sizeof value, sizeof value.as_int, sizeof value.as_double);
    std::printf("  after write        bytes 0 to 7                  as_int   as_double\n");
    value.as_int = 100;
    print_union_row("as_int = 100", value);
    value.as_double = 100.0;
    print_union_row("as_double = 100.0", value);
}

// The table main calls through. Where the routines are changes from run to run, so only
// how many different ones the entries point to is printed.
void show_greeting_table()
{
    const greeting_fn greetings[] = {function_a, function_b, function_c, function_d, function_e};
    int different = 0;
    for (const greeting_fn& entry : greetings) {
        bool seen_before = false;
        for (const greeting_fn* earlier = greetings; earlier != &entry; ++earlier) {
            seen_before = seen_before || *earlier == entry;
        }
        different += seen_before ? 0 : 1;
    }
    std::printf("\ngreetings: %zu greeting_fn of %zu bytes each, %zu bytes in all,\n",
                std::size(greetings), sizeof(greeting_fn), sizeof greetings);
    std::printf("  pointing to %d different routines\n", different);
}

// The byte order, from where an int's least significant byte lies, and the sizes of an int,
// a pointer and a double, as the number of bytes copied out of one of each.
void show_machine()
{
    const int one = 1;
    const auto bytes = bytes_of(one);
    std::printf("\nThis machine: %s-endian: the int 1 is stored as",
                bytes[0] == 1 ? "little" : "big");
    for (const unsigned char byte : bytes) {
        std::printf(" %02x", byte);
    }
    std::printf("\n  int %zu bytes, pointer %zu, double %zu\n", bytes.size(), bytes_of(&one).size(),
                bytes_of(1.0).size());
}

} // namespace

int main(int /*argc*/, char* /*argv*/[])
{
    std::printf("The lesson's objects in memory, lowest address first\n\n");
    show_nibble_word();
    show_shared_value_bytes();
    show_greeting_table();
    show_machine();

    // Output that could not all be written is a failure, said as any program says it.
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        std::fprintf(stderr, "lowlevel-bytes: write error: %s\n", std::strerror(errno));
        return 1;
    }
    return 0;
}
