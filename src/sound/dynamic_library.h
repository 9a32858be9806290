// Looking up a function in a library loaded at run time (dlopen), with its declared type.
#pragma once

#include <dlfcn.h>

template <typename Function>
bool look_up(void* library, const char* name, Function& function)
{
    function = reinterpret_cast<Function>(dlsym(library, name));
    return function != nullptr;
}
