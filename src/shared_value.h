// The union demonstration: an integer and a double that share storage, the integer
// being the first four of the double's eight bytes.
#pragma once

#include <cstdint>

// Both members begin at the same address: as_int occupies the first four bytes, which are
// the low-order 32 bits of as_double's representation on a little-endian machine (x86, ARM)
// and its high-order 32 bits on a big-endian one (s390x).
//
// C lets a program read the member it did not write last and see those bytes as the other
// type. C++ does not (the read is undefined behaviour), so show_shared_value copies the
// bytes into the other type instead, which shows the same thing.
union shared_value {
    std::int32_t as_int; // exactly four bytes: an int on every platform here, hence %d
    double as_double;
};

// Prints four lines: the integer shown as an int and as a double, then the double shown
// as a double and as an int. The other type's view reads the same bytes, it does not
// convert the value, so two of the lines do not show 100.
void show_shared_value();
