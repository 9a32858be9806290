/* The union demonstration in C, which, unlike C++, lets a program read the member it did
 * not write last: the bytes are then taken as the other type. Prints the same four lines
 * as the C++ program (shared_value.cpp), which copies the bytes instead. */
#include <stdint.h>
#include <stdio.h>

union shared_value {
    int32_t as_int;
    double as_double;
};

int main(void)
{
    /* Eight zero bytes, the double 0.0. Once as_int is stored, C promises only its four
     * bytes: the other four take unspecified values (C11 6.2.6.1p7). GCC and Clang leave
     * them zero, so the lines below are those of the C++ program on every machine that
     * the check runs both on, little-endian and big-endian. */
    union shared_value value = {.as_double = 0.0};

    value.as_int = 100;
    printf("Shared int printed as an int =\t\t%d\n", value.as_int);
    printf("Shared int printed as a float =\t\t%f\n", value.as_double);

    value.as_double = 100.0;
    printf("Shared double printed as a float =\t%f\n", value.as_double);
    printf("Shared double printed as an int =\t%d\n", value.as_int);
    return 0;
}
