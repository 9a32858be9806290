// The union demonstration.
#include "shared_value.h"

#include <cstdio>
#include <cstring>

namespace {

// What reading the member that was not written last would show: the union's first
// sizeof(T) bytes taken as a T. Reading that member directly is undefined behaviour in
// C++, so the bytes are copied instead; std::memcpy is the defined way to do that.
template <typename T>
T bytes_as(shared_value value)
{
    static_assert(sizeof(T) <= sizeof(shared_value));
    T result;
    std::memcpy(&result, &value, sizeof result);
    return result;
}

} // namespace

void show_shared_value()
{
    // Eight zero bytes, the double 0.0, before the integer is written over the first four.
    // What the other four hold after that store, neither C nor C++ promises (C11 6.2.6.1p7:
    // they take unspecified values); GCC and Clang leave them as they were, zero, and the
    // check's golden outputs show it. (Empty braces would zero only the first member,
    // as_int, and leave the other four bytes to the compiler from the start.)
    shared_value value{.as_double = 0.0};

    // "float" in the labels means %f, which prints a double: there is no float here.
    value.as_int = 100;
    std::printf("\nShared int printed as an int =\t\t%d", value.as_int);
    // With zero beside it, 100 is a subnormal double, about 4.94e-322 as the low half
    // (little-endian), 2.12e-312 as the high half (big-endian): 0.000000 either way.
    std::printf("\nShared int printed as a float =\t\t%f", bytes_as<double>(value));

    value.as_double = 100.0;
    std::printf("\nShared double printed as a float =\t%f", value.as_double);
    // 100.0 is 0x4059000000000000. Its first four bytes, read as an int, are its low half,
    // 0, on a little-endian machine, and its high half, 0x40590000 (1079574528), on a
    // big-endian one.
    std::printf("\nShared double printed as an int =\t%d", bytes_as<std::int32_t>(value));
}
