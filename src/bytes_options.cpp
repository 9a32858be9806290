// The companion's command line: --nibble1 ... --nibble5, --int and --double, each as
// `--int 5` or `--int=5`, in decimal or hex; --json and --help.
#include "bytes_options.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

// string_view's own starts_with may throw out_of_range (it compares a substr), which brings
// the exceptions' machinery into the page's build unless the optimiser proves it cannot:
// 10 KB. These neither throw nor allocate.
bool starts_with(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && std::string_view(text.data(), prefix.size()) == prefix;
}

bool starts_with(std::string_view text, char first)
{
    return !text.empty() && text.front() == first;
}

// What each value option takes, as the line that refuses a value says it.
constexpr const char* takes_number =
    "a whole number of at most 32 bits (-2147483648 to 4294967295), in decimal or hex (0x1f)";
constexpr const char* takes_double =
    "a number as strtod reads it (1.5, -0, 1e-320, 0x1p-3, inf, nan)";

// A whole number of at most 32 bits, signed or not: an optional sign, then decimal digits
// or 0x and hex digits, and nothing else.
bool read_number(std::string_view text, std::int64_t& number)
{
    const bool negative = starts_with(text, '-');
    text.remove_prefix(negative || starts_with(text, '+') ? 1 : 0);
    const bool hex = starts_with(text, "0x") || starts_with(text, "0X");
    text.remove_prefix(hex ? 2 : 0);
    std::uint64_t magnitude = 0;
    const auto [end, error] =
        std::from_chars(text.data(), text.data() + text.size(), magnitude, hex ? 16 : 10);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size() ||
        magnitude > (negative ? 0x8000'0000u : 0xFFFF'FFFFu)) {
        return false;
    }
    number =
        negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
    return true;
}

// All of the text, read by strtod; leading white space, which strtod would skip, is refused:
// a line feed or a form feed would reach the labels and the JSON as it is.
bool read_double(const char* text, double& number)
{
    char* end = nullptr;
    number = std::strtod(text, &end);
    return *text != '\0' && std::isspace(static_cast<unsigned char>(*text)) == 0 && *end == '\0';
}

// A text from the command line, quoted in a message: a control character, a line feed
// above all, is shown as \xHH, so that the message stays one line.
void print_quoted(const char* text)
{
    std::fputc('\'', stderr);
    for (; *text != '\0'; ++text) {
        const auto byte = static_cast<unsigned char>(*text);
        if (byte < 0x20 || byte == 0x7F) {
            std::fprintf(stderr, "\\x%02x", static_cast<unsigned>(byte));
        } else {
            std::fputc(byte, stderr);
        }
    }
    std::fputc('\'', stderr);
}

bool refuse(const char* option, const char* takes, const char* value)
{
    if (*value == '\0') {
        std::fprintf(stderr, "lowlevel-bytes: %s takes %s, and was given nothing\n", option, takes);
    } else {
        std::fprintf(stderr, "lowlevel-bytes: %s takes %s, not ", option, takes);
        print_quoted(value);
        std::fputc('\n', stderr);
    }
    return false;
}

// As `word.nibbleN = value;` stores it: the low four bits, negative values too (C++ keeps
// the value modulo 16), said as the compiler's warning says it.
void set_nibble(nibble_word& word, int field, std::int64_t number, const char* text)
{
    const auto nibble = static_cast<unsigned>(number & 0xF);
    if (number < 0 || number > 0xF) {
        std::fprintf(stderr,
                     "lowlevel-bytes: warning: --nibble%d %s does not fit in 4 bits: the field "
                     "keeps its low four bits, %x\n",
                     field, text, nibble);
    }
    switch (field) {
    case 1:
        word.nibble1 = nibble;
        break;
    case 2:
        word.nibble2 = nibble;
        break;
    case 3:
        word.nibble3 = nibble;
        break;
    case 4:
        word.nibble4 = nibble;
        break;
    default:
        word.nibble5 = nibble;
        break;
    }
}

// The int's value as `as_int = value;` stores it: above 2147483647, modulo 2^32.
void set_int(bytes_options& options, std::int64_t number, const char* text)
{
    options.as_int = static_cast<std::int32_t>(static_cast<std::uint32_t>(number));
    options.int_text = text;
    if (number > 0x7FFF'FFFF) {
        std::fprintf(stderr,
                     "lowlevel-bytes: warning: --int %s does not fit in an int32_t: it keeps "
                     "its 32 bits, read as %d\n",
                     text, options.as_int);
    }
}

// One value option and its value; false, said, if the value is not one it takes.
bool take_value(std::string_view name, const char* option, const char* value,
                bytes_options& options)
{
    options.yours = true;
    std::int64_t number = 0;
    if (name == "double") {
        options.double_text = value;
        return read_double(value, options.as_double) || refuse(option, takes_double, value);
    }
    if (!read_number(value, number)) {
        return refuse(option, takes_number, value);
    }
    if (name == "int") {
        set_int(options, number, value);
    } else {
        set_nibble(options.word, name.back() - '0', number, value);
    }
    return true;
}

bool is_value_option(std::string_view name)
{
    return name == "int" || name == "double" ||
           (name.size() == 7 && starts_with(name, "nibble") && name[6] >= '1' && name[6] <= '5');
}

} // namespace

bool read_options(int argc, char* argv[], bytes_options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        // The option's name, without its dashes and value (not substr: see starts_with).
        const std::size_t end = arg.find('=') < arg.size() ? arg.find('=') : arg.size();
        const std::string_view name =
            starts_with(arg, "--") ? std::string_view(arg.data() + 2, end - 2) : std::string_view{};
        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--json") {
            options.json = true;
        } else if (starts_with(arg, "--") && is_value_option(name)) {
            // The option's name alone, for what is said about its value.
            char option[16];
            std::snprintf(option, sizeof option, "--%.*s", static_cast<int>(name.size()),
                          name.data());
            const bool inline_value = arg.find('=') != std::string_view::npos;
            const char* value = inline_value   ? argv[i] + arg.find('=') + 1
                                : i + 1 < argc ? argv[++i]
                                               : "";
            if (!take_value(name, option, value, options)) {
                return false;
            }
        } else {
            std::fputs("lowlevel-bytes: unknown option ", stderr);
            print_quoted(argv[i]);
            std::fputs(": it takes --nibble1 to --nibble5, --int, --double, --json and --help\n",
                       stderr);
            return false;
        }
    }
    return true;
}

void print_usage()
{
    std::printf("Usage: lowlevel-bytes [OPTION]...\n"
                "Prints the lesson's record and union as the bytes they are in memory, with your\n"
                "values if you give them.\n"
                "\n"
                "  --nibble1 N ... --nibble5 N  the record's 4-bit fields (main: 0xa ... 0xe);\n"
                "                               a field keeps the low four bits of a bigger N\n"
                "  --int N                      the int written to the union first (100)\n"
                "  --double X                   the double written to it next (100.0)\n"
                "  --json                       the same, as JSON (for jq, or the page)\n"
                "  --help                       this text\n"
                "\n"
                "N is decimal or hex (0x1f), at most 32 bits. X is anything strtod reads: 1.5,\n"
                "-0, 1e-320, 0x1p-3, inf, nan. Each may also be given as --int=N.\n"
                "Exit status: 0; 1 if the output could not be written; 2 for a value it cannot\n"
                "take, or an option it does not know.\n");
}
