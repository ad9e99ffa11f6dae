// The toolkit library: the logging entry point and two JSON field accessors.
// The library also brings json-c along for its users.
#ifndef TOOLKITS_H
#define TOOLKITS_H

#include <json-c/json_object.h>

#include "ZR_Export.h"

#ifdef __cplusplus
extern "C" {
#endif

// A logger receives the level, the source name, the source line and a
// printf-style format. Hosts install their own by assigning the variable, or
// silence logging by setting it to null; it starts out pointing at a logger
// that writes one line per record to stderr. Assign it before other threads
// use the library: the variable itself is not synchronised.
typedef int (*ko_libos_log_fn)(int level, const char* source, int line, const char* format, ...);
ZR_API extern ko_libos_log_fn ko_libos_log_debug_ex;

// The text of member `key` of `obj`: a string member's text, the JSON text of
// a member of any other type (an embedded array reads as its text). "" for a
// null or non-object `obj`, a missing key or a JSON null. Never null; valid
// while `obj` lives.
ZR_API const char* json_object_get_field_string(json_object* obj, const char* key);

// The integer value of member `key` of `obj` (json-c's conversion for other
// types), or `absent_value` when the member is missing or a JSON null, or when
// `obj` is null or not an object.
ZR_API int json_object_get_field_int(json_object* obj, const char* key, int absent_value);

#ifdef __cplusplus
}
#endif

#endif  // TOOLKITS_H
