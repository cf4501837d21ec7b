#pragma once
// How an entry point leaves the library: on ELF systems by default
// visibility (the rest is hidden, and exports.map lists the names); on
// Windows by the .def file, which gives the plain undecorated names.
#if defined(_WIN32)
#define ZEM_EXPORT extern "C"
#else
#define ZEM_EXPORT extern "C" __attribute__((visibility("default")))
#endif
