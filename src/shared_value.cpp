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
    // The double 0.0 is eight zero bytes, so writing the four-byte integer over its start
    // leaves a double whose high half is zero. (Empty braces would zero only the first
    // member, as_int, and leave the other four bytes to the compiler.)
    shared_value value{.as_double = 0.0};

    // "float" in the labels means %f, which prints a double: there is no float here.
    value.as_int = 100;
    std::printf("\nShared int printed as an int =\t\t%d", value.as_int);
    // 100 in the low half of a double is a subnormal of about 4.94e-322: 0.000000.
    std::printf("\nShared int printed as a float =\t\t%f", bytes_as<double>(value));

    value.as_double = 100.0;
    std::printf("\nShared double printed as a float =\t%f", value.as_double);
    // 100.0 is 0x4059000000000000: its low 32 bits, read as an int, are 0.
    std::printf("\nShared double printed as an int =\t%d", bytes_as<std::int32_t>(value));
}
