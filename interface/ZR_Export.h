// Symbol visibility for the four libraries. They are built with hidden
// visibility by default; only what is marked ZR_API is exported.
#ifndef ZR_EXPORT_H
#define ZR_EXPORT_H

#if defined(__GNUC__) || defined(__clang__)
#define ZR_API __attribute__((visibility("default")))
#define ZR_HIDDEN __attribute__((visibility("hidden")))
#else
#define ZR_API
#define ZR_HIDDEN
#endif

#endif  // ZR_EXPORT_H
