/*
 * Symbol visibility for the library.
 *
 * The library is built with -fvisibility=hidden so that only what a host may
 * call by name leaves the shared object. Everything a host can look up is
 * marked QUARROW_EXPORT and has C linkage, so its symbol is its plain name.
 */
#ifndef QUARROW_EXPORT_H
#define QUARROW_EXPORT_H

#define QUARROW_EXPORT __attribute__((visibility("default")))

/* Shared between the library's own source files, never exported. */
#define QUARROW_INTERNAL __attribute__((visibility("hidden")))

#endif
