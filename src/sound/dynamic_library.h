// Loading a sound library at run time (dlopen), so that the program runs, silent, where it
// is missing. A driver lists the functions it calls once, as a macro that both declares its
// record of them, each with its declared type, and fills it from the library.
#pragma once

#include <optional>

#include <dlfcn.h>

// NOLINTBEGIN(bugprone-macro-parentheses): the arguments are names
#define LIBRARY_MEMBER(name) decltype(&::name) name;
#define LIBRARY_LOOK_UP(name)                                                                      \
    &&(functions.name = reinterpret_cast<decltype(&::name)>(dlsym(library, #name)))
#define LIBRARY_RECORD(record, LIST)                                                               \
    struct record {                                                                                \
        LIST(LIBRARY_MEMBER)                                                                       \
    };                                                                                             \
    bool look_up(void* library, record& functions)                                                 \
    {                                                                                              \
        return true LIST(LIBRARY_LOOK_UP);                                                         \
    }
// NOLINTEND(bugprone-macro-parentheses)

// Loaded by the first call and kept, with the library, for the run; null if it is missing.
template <typename Functions>
const Functions* load_once(const char* file)
{
    static const std::optional<Functions> loaded = [&]() -> std::optional<Functions> {
        void* const library = dlopen(file, RTLD_NOW | RTLD_LOCAL);
        Functions functions{};
        if (library == nullptr || !look_up(library, functions)) {
            return std::nullopt;
        }
        return functions;
    }();
    return loaded ? &*loaded : nullptr;
}
