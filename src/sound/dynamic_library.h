// Loading a sound library at run time (dlopen) and taking from it the functions a driver
// calls, each with its declared type, so that every call through them is checked as a
// direct call would be. A driver keeps the functions in a record of its own, and says in
// one function, its table, which name in the library fills which member.
#pragma once

#include <optional>

#include <dlfcn.h>

// Sets `function` to the library's function of that name; false if it has none.
template <typename Function>
bool look_up(void* library, const char* name, Function*& function)
{
    function = reinterpret_cast<Function*>(dlsym(library, name));
    return function != nullptr;
}

// Loads the library at `file` and fills a record of its functions with `table`; none, and
// the library let go, if the library or one of the functions is missing.
template <typename Functions>
std::optional<Functions> load_library(const char* file, bool (*table)(void*, Functions&))
{
    void* const library = dlopen(file, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        return std::nullopt;
    }
    Functions functions{};
    if (table(library, functions)) {
        return functions;
    }
    dlclose(library);
    return std::nullopt;
}

// The record of the library's functions, loaded by the first call and kept, with the
// library, for the rest of the run (one library for each record type); null if it could
// not be loaded.
template <typename Functions>
const Functions* load_once(const char* file, bool (*table)(void*, Functions&))
{
    static const std::optional<Functions> loaded = load_library(file, table);
    return loaded ? &*loaded : nullptr;
}
