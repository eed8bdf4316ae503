/*
 * The option string: comma-separated name=value items parsed into a list in
 * the order written. Start-up parses the built-in string once; each
 * configuration step then takes the options it understands out of the list
 * with find_option (names match without regard to case, the last item of a
 * name wins) and releases them with free_config_option.
 *
 * Grammar, byte by byte, with no special white space: ',' ends an item, the
 * first '=' of an item ends its name, and inside a value '{' starts a stretch
 * in which ',' and '=' are plain bytes until the next '}' (braces do not
 * nest, and stay part of the value). An item without '=' has the shared
 * empty value, which is never released; a trailing ',' adds no item.
 */
#ifndef QUARROW_CONFIG_H
#define QUARROW_CONFIG_H

#include "export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One option. Its strings are private-heap copies owned by the record. */
typedef struct config_option {
    char *name;
    char *value;
    struct config_option *next;
} config_option;

/*
 * Parses text (null or empty: no options) into *list. Returns 0 with the
 * list (null when empty), or 1 with *list null and nothing left allocated
 * when memory ran out or the text ends inside braces (reported on standard
 * error).
 */
QUARROW_EXPORT int parse_config_string(const char *text, config_option **list);

/*
 * Takes every option called name (any case) out of *list; returns the last
 * of them, now the caller's, and releases the others. Null when there is
 * none. The returned record's next is null.
 */
QUARROW_EXPORT config_option *find_option(config_option **list, const char *name);

/* Releases *option and its strings and sets *option to null; null is ignored. */
QUARROW_EXPORT void free_config_option(config_option **option);

#ifdef __cplusplus
}
#endif

#endif
