// Frame symbolisation: return addresses to object, symbol and offset, once
// per caller record, with a table of loaded objects keyed by load base.
#include "event_processing/event_processing_internal.h"

#include <dlfcn.h>

#include "aht_avl.h"
#include "cache_line.h"
#include "error_line.h"

static char _unknown_string[] = "*Unknown*";
static library_record _unknown_library = {_unknown_string, nullptr};
QUARROW_OWN_LINE static aht_avl_tree *_library_table = nullptr; // guarded by the caller table lock
// Frames already symbolised, and the loader generation they belong to;
// guarded by the caller table lock.
QUARROW_OWN_LINE static frame_cache _frame_cache;
static uint32_t _frame_cache_generation;

static int _pointer_compare_function(const void *a, const void *b) { return compare_addresses(a, b); }

bool symbols_build_tables(void) {
    frame_cache_init(&_frame_cache, kInitialTableSlots); // without it every frame is looked up afresh
    _library_table = aht_alloc_avl_tree(_pointer_compare_function, nullptr, nullptr);
    if (_library_table == nullptr) {
        QUARROW_ERROR_LINE("Couldn't allocate library table");
        return false;
    }
    return true;
}

// The library record for an object's load base, made on first sight; the
// unknown library when it cannot be made.
static library_record *_library_for(const Dl_info *info) {
    void *found = nullptr;
    if (aht_avl_search(_library_table, info->dli_fbase, &found) == 0)
        return (library_record *)found;
    library_record *library = (library_record *)dlmalloc(sizeof(library_record));
    if (library == nullptr) {
        QUARROW_ERROR_LINE("Malloc failed");
        return &_unknown_library;
    }
    library->base = info->dli_fbase;
    library->name = local_strdup(info->dli_fname);
    if (library->name == nullptr) {
        QUARROW_ERROR_LINE("Malloc failed");
        dlfree(library);
        return &_unknown_library;
    }
    int result = aht_avl_insert(_library_table, library->base, library);
    if (result != 0) // still serves this frame, from outside the table
        QUARROW_ERROR_FORMAT("Couldn't insert library record for %s into the library table: %d", info->dli_fname,
                             result);
    return library;
}

int symbolise_frames(caller_record *record) {
    call_stack *stack = record->stack;
    memset(record->frames, 0, stack->frame_count * sizeof(friendly_frame));
    // Frames looked up before an unload may name code that is gone.
    unwind_epoch epoch = loader_epoch();
    bool use_cache = epoch.stable;
    if (use_cache && epoch.generation != _frame_cache_generation) {
        frame_cache_clear(&_frame_cache);
        _frame_cache_generation = epoch.generation;
    }
    for (uint32_t i = 0; i < stack->frame_count; i++) {
        void *address = stack->return_addresses[i];
        friendly_frame *frame = &record->frames[i];
        const friendly_frame *known = use_cache ? frame_cache_find(&_frame_cache, address) : nullptr;
        Dl_info info;
        if (known != nullptr) {
            *frame = *known;
            frame->symbol = local_strdup(known->symbol);
        } else if (dladdr(address, &info) == 0) {
            frame->library = &_unknown_library;
            frame->symbol = local_strdup(_unknown_string);
            frame->offset = 0;
        } else {
            frame->library = _library_for(&info);
            frame->symbol = local_strdup(info.dli_sname != nullptr ? info.dli_sname : _unknown_string);
            frame->offset = (uintptr_t)address - (uintptr_t)info.dli_saddr;
        }
        if (known == nullptr && use_cache && frame->symbol != nullptr)
            frame_cache_add(&_frame_cache, address, frame); // only a speed-up: a failure is no loss
        if (frame->symbol == nullptr) {
            QUARROW_ERROR_LINE("Malloc failed");
            for (uint32_t j = 0; j < i; j++)
                dlfree(record->frames[j].symbol);
            return 1;
        }
    }
    return 0;
}
