// The demonstration's companion: prints the lesson's record and union as the bytes they are
// in memory, lowest address first, with the learner's values if given; how many routines the
// table of greetings holds and how big it is; and what this machine makes of them: its byte
// order and the sizes of its types. As text, or as JSON for a program (the page draws its
// picture from that). It runs in an instant: no pauses, no tones, no key.
#include "bytes_options.h"
#include "nibble_word.h"
#include "platform.h"
#include "shared_value.h"

#include <array>
#include <bit>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>

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

void show_nibble_word(const bytes_options& options)
{
    const nibble_word word = options.word;
    const auto bytes = bytes_of(word);
    const bit_owners owner = find_bit_owners();

    std::printf("nibble_word, %s: %zu bytes; - marks a bit no field uses\n",
                options.yours ? "with your values" : "as main sets it", sizeof word);
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
    if (options.yours) {
        std::printf("  bit      ");
        for (std::size_t byte = 0; byte < bytes.size(); ++byte) {
            std::printf("%s7654 3210", byte == 0 ? "" : "  ");
        }
        std::putchar('\n');
    }
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

// The union after one write: its eight bytes, then what each member reads from them. Both
// are read from the bytes: the member not written last may not be read directly in C++ (see
// shared_value.h).
struct union_row {
    const char* member; // the member written, and the value as written
    const char* text;
    std::array<unsigned char, sizeof(shared_value)> bytes;
    std::int32_t as_int;
    char as_double[32]; // the double's reading, as text
};

// A double as %g prints it with `precision` digits, or, with 0, with the fewest digits that
// read back as the same double, so that two different doubles never print alike; and not
// as 1e+02 where 100 says the same in as many digits as %g allows.
void format_double(double number, int precision, char (&text)[32])
{
    for (int digits = precision == 0 ? 1 : precision; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, number);
        const double back = std::strtod(text, nullptr);
        const char* exponent = std::strchr(text, 'e');
        const bool whole_would_do = exponent != nullptr && std::atoi(exponent + 1) >= digits &&
                                    std::atoi(exponent + 1) < 17;
        if (precision != 0 || (bytes_of(back) == bytes_of(number) && !whole_would_do)) {
            return;
        }
    }
}

union_row row_after(const char* member, const char* text, shared_value value, bool exact)
{
    union_row row{
        .member = member, .text = text, .bytes = bytes_of(value), .as_int = 0, .as_double = {}};
    double as_double = 0;
    std::memcpy(&row.as_int, row.bytes.data(), sizeof row.as_int);
    std::memcpy(&as_double, row.bytes.data(), sizeof as_double);
    format_double(as_double, exact ? 0 : 3, row.as_double);
    return row;
}

// The two writes that the demonstration makes, with the values given.
std::array<union_row, 2> union_rows(const bytes_options& options)
{
    shared_value value{.as_double = 0.0}; // as the demonstration starts it: eight zero bytes
    value.as_int = options.as_int;
    const union_row after_int = row_after("as_int", options.int_text, value, options.yours);
    value.as_double = options.as_double;
    return {after_int, row_after("as_double", options.double_text, value, options.yours)};
}

void show_shared_value_bytes(const bytes_options& options)
{
    const auto rows = union_rows(options);
    // The columns widen for long values: the lesson's own fit the narrowest.
    int write_width = 19;
    int double_width = 11;
    for (const union_row& row : rows) {
        const auto write = static_cast<int>(std::strlen(row.member) + std::strlen(row.text)) + 5;
        write_width = write > write_width ? write : write_width;
        const auto reading = static_cast<int>(std::strlen(row.as_double));
        double_width = reading > double_width ? reading : double_width;
    }
    std::printf("\nshared_value: %zu bytes; as_int is the first %zu, as_double all %zu\n",
                sizeof(shared_value), sizeof(shared_value::as_int),
                sizeof(shared_value::as_double));
    std::printf("  %-*s%-24s%12s %*s\n", write_width, "after write", "bytes 0 to 7", "as_int",
                double_width, "as_double");
    for (const union_row& row : rows) {
        const auto write = static_cast<int>(std::strlen(row.member) + std::strlen(row.text)) + 3;
        std::printf("  %s = %s%*s", row.member, row.text, write_width - write, "");
        for (const unsigned char byte : row.bytes) {
            std::printf("%02x ", byte);
        }
        std::printf("%12d %*s\n", row.as_int, double_width, row.as_double);
    }
}

// A copy of the table main calls through. Where the routines are changes from run to run in
// a position-independent build with address randomisation, so only how many different ones
// the entries point to is printed.
const greeting_fn greetings[] = {function_a, function_b, function_c, function_d, function_e};

int different_greetings()
{
    int different = 0;
    for (const greeting_fn& entry : greetings) {
        bool seen_before = false;
        for (const greeting_fn* earlier = greetings; earlier != &entry; ++earlier) {
            seen_before = seen_before || *earlier == entry;
        }
        different += seen_before ? 0 : 1;
    }
    return different;
}

void show_greeting_table()
{
    std::printf("\ngreetings: %zu greeting_fn of %zu bytes each, %zu bytes in all,\n",
                std::size(greetings), sizeof(greeting_fn), sizeof greetings);
    std::printf("  pointing to %d different routines\n", different_greetings());
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

// The same, as one JSON object, for a program to read: the page draws its picture from it.
// Bytes are numbers, lowest address first; each byte's fields are listed from bit 0 (0 for
// a bit no field uses); the double's readings are texts, for JSON has no inf or nan.
void print_byte_list(const unsigned char* bytes, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        std::printf("%s%u", i == 0 ? "[" : ", ", static_cast<unsigned>(bytes[i]));
    }
    std::printf("]");
}

void print_json_nibble_word(nibble_word word)
{
    auto bytes = bytes_of(word);
    const bit_owners owner = find_bit_owners();
    // The bits no field uses are not the program's to show (the text shows '-'): they read 0.
    for (std::size_t byte = 0; byte < bytes.size(); ++byte) {
        for (int bit = 0; bit < 8; ++bit) {
            bytes[byte] &= owner[byte][bit] == 0 ? ~(1u << bit) : 0xFFu;
        }
    }
    std::printf("  \"nibble_word\": {\"nibbles\": [%u, %u, %u, %u, %u], \"bytes\": ",
                unsigned{word.nibble1}, unsigned{word.nibble2}, unsigned{word.nibble3},
                unsigned{word.nibble4}, unsigned{word.nibble5});
    print_byte_list(bytes.data(), bytes.size());
    std::printf(",\n    \"fields\": [");
    for (std::size_t byte = 0; byte < owner.size(); ++byte) {
        for (int bit = 0; bit < 8; ++bit) {
            std::printf("%s%d", bit == 0 ? (byte == 0 ? "[" : ", [") : ", ", owner[byte][bit]);
        }
        std::printf("]");
    }
    std::printf("]},\n");
}

void print_json(const bytes_options& options)
{
    const int one = 1;
    std::printf("{\"byte_order\": \"%s\",\n", bytes_of(one)[0] == 1 ? "little" : "big");
    std::printf("  \"sizes\": {\"int\": %zu, \"pointer\": %zu, \"double\": %zu, "
                "\"greeting_fn\": %zu},\n",
                sizeof(int), sizeof(&one), sizeof(double), sizeof(greeting_fn));
    print_json_nibble_word(options.word);
    std::printf("  \"shared_value\": [");
    const char* separator = "";
    bytes_options exact = options; // a program reads every double exactly
    exact.yours = true;
    for (const union_row& row : union_rows(exact)) {
        std::printf("%s\n    {\"write\": \"%s = %s\", \"bytes\": ", separator, row.member,
                    row.text);
        print_byte_list(row.bytes.data(), row.bytes.size());
        std::printf(", \"as_int\": %d, \"as_double\": \"%s\"}", row.as_int, row.as_double);
        separator = ",";
    }
    std::printf("],\n  \"greetings\": {\"count\": %zu, \"different\": %d}}\n", std::size(greetings),
                different_greetings());
}

// A reader that went away took what it wanted: as in the demonstration, that is no
// failure. Where a write to a pipe with no reader raises SIGPIPE, main ignores it and the
// write fails with EPIPE. Windows's C runtime has no SIGPIPE and no such error: a write to a
// pipe fails only for that, so a failure on a pipe is taken for it, as the demonstration does.
#ifdef SIGPIPE
bool reader_went_away()
{
    return errno == EPIPE;
}
#else
bool reader_went_away()
{
    struct stat output {};
    return fstat(fileno(stdout), &output) == 0 && S_ISFIFO(output.st_mode);
}
#endif

} // namespace

int main(int argc, char* argv[])
{
#ifdef SIGPIPE // see reader_went_away
    std::signal(SIGPIPE, SIG_IGN);
#endif
    bytes_options options;
    if (!read_options(argc, argv, options)) {
        return 2;
    }
    if (options.help) {
        print_usage();
    } else if (options.json) {
        print_json(options);
    } else {
        std::printf("The lesson's objects in memory, lowest address first\n\n");
        show_nibble_word(options);
        show_shared_value_bytes(options);
        show_greeting_table();
        show_machine();
    }

    // Output that could not all be written is a failure, said as any program says it.
    if ((std::fflush(stdout) != 0 || std::ferror(stdout) != 0) && !reader_went_away()) {
        std::fprintf(stderr, "lowlevel-bytes: write error: %s\n", std::strerror(errno));
        return 1;
    }
    return 0;
}
