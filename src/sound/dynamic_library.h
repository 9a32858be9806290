// Loading a sound library at run time (dlopen), so that the program runs, silent, on a
// machine without it. A driver lists the functions it calls once, as a macro that both
// declares its record of them, each with its declared type, and fills it from the library.
#pragma once

#include <optional>

#include <dlfcn.h>

#define LIBRARY_MEMBER(name) decltype(&::name) name;
#define LIBRARY_LOOK_UP(name) &&(functions.name = reinterpret_cast<decltype(&::name)>(dlsym(library, #name)))

// The record of the library's functions, loaded by the first call and kept, with the
// library, for the rest of the run; null if the library or one of them is missing.
template <typename Functions>
const Functions* load_once(const char* file, bool (*table)(void*, Functions&))
{
    static const std::optional<Functions> loaded = [&]() -> std::optional<Functions> {
        void* const library = dlopen(file, RTLD_NOW | RTLD_LOCAL);
        Functions functions{};
        if (library == nullptr || !table(library, functions)) {
            return std::nullopt;
        }
        return functions;
    }();
    return loaded ? &*loaded : nullptr;
}
