// The process's allocation entry points. Each one dispatches through a hook
// pointer, or goes on to the C library's allocator while that pointer is
// null. They run before any constructor, inside the dynamic loader and
// during thread start-up, so they use nothing that needs setting up.
//
// Built without sibling calls: every entry point must stay one real frame
// between the host's call site and the hook, whichever entry point it is, so
// that the hook's fixed skip of frames lands on the host's call site.
#include "memory_operations/memory_operations_internal.h"

#include <dlfcn.h>
#include <errno.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include "cache_line.h"
#include "private_heap/private_heap.h"

static_assert(kEntryPointFrames == 1,
              "each entry point below is one frame: its dispatch is inlined, and it makes no sibling call");

extern "C" {
// The C library's own allocator, by its exported internal names: looking the
// public names up at run time would allocate, and could find ourselves.
void *__libc_malloc(size_t size);
void __libc_free(void *block);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *block, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
void *__libc_valloc(size_t size);
void *__libc_pvalloc(size_t size);

QUARROW_OWN_LINE quarrow_malloc_hook_fn volatile quarrow_malloc_hook = nullptr;
QUARROW_OWN_LINE quarrow_realloc_hook_fn volatile quarrow_realloc_hook = nullptr;
QUARROW_OWN_LINE quarrow_free_hook_fn volatile quarrow_free_hook = nullptr;
QUARROW_OWN_LINE quarrow_memalign_hook_fn volatile quarrow_memalign_hook = nullptr;
}

__thread const uintptr_t *_entry_frame __attribute__((tls_model("initial-exec")));

namespace {

#define CALL_SITE __builtin_return_address(0)

// Taking its own frame's address gives an entry point a frame pointer.
#define THIS_FRAME ((const uintptr_t *)__builtin_frame_address(0))

// The entry point's frame, published for as long as this lives: only while
// the hook runs, so a hook that some other code calls directly never sees a
// stale one.
struct published_frame {
    explicit published_frame(const uintptr_t *frame) { _entry_frame = frame; }
    ~published_frame() { _entry_frame = nullptr; }
};

// A block that the private heap handed out through a hook may come back
// after the hooks were taken out again; the C library must never see it.
// The heap holds nothing before its first use, so the common case is cheap.
bool is_private_block(void *block) {
    return block != nullptr && dlmalloc_footprint() != 0 && private_heap_owns(block) != 0;
}

bool is_power_of_two(size_t value) { return value != 0 && (value & (value - 1)) == 0; }

size_t page_size() { return (size_t)sysconf(_SC_PAGESIZE); }

// The C library's own bookkeeping for a block it handed out: the size word
// before the block, whose bit 1 marks a block mapped on its own (that one has
// two words of overhead, the others one).
size_t c_library_usable_size(const void *block) {
    size_t head = ((const size_t *)block)[-1];
    size_t size = head & ~(size_t)7;
    size_t overhead = (head & 2) ? 2 * sizeof(size_t) : sizeof(size_t);
    return size > overhead ? size - overhead : 0;
}

// The dispatch shared by entry points of one hook. Inlined into each entry
// point, which stays the one frame between the call site and the hook.
#define ENTRY_POINT_PART __attribute__((always_inline)) inline

// The C library's malloc_trim: it has no internal name of its own, so it is
// looked up once, past this library in the lookup order. Only a call made
// without the hooks gets here, so whatever the lookup allocates comes from
// the C library's allocator.
typedef int (*trim_fn)(size_t);
trim_fn c_library_trim() {
    static trim_fn found;
    trim_fn trim = __atomic_load_n(&found, __ATOMIC_ACQUIRE);
    if (trim == nullptr) {
        trim = (trim_fn)dlsym(RTLD_NEXT, "malloc_trim");
        __atomic_store_n(&found, trim, __ATOMIC_RELEASE);
    }
    return trim;
}

// `frame` is the entry point's own (THIS_FRAME), taken there: these parts are inlined.
ENTRY_POINT_PART void *dispatch_realloc(void *block, size_t size, const void *call_site, const uintptr_t *frame) {
    quarrow_realloc_hook_fn hook = quarrow_realloc_hook;
    if (hook != nullptr) {
        published_frame published(frame);
        return hook(block, size, call_site);
    }
    if (is_private_block(block))
        return dlrealloc(block, size);
    return __libc_realloc(block, size);
}

ENTRY_POINT_PART void *dispatch_memalign(size_t alignment, size_t size, const void *call_site, const uintptr_t *frame) {
    quarrow_memalign_hook_fn hook = quarrow_memalign_hook;
    if (hook != nullptr) {
        published_frame published(frame);
        return hook(alignment, size, call_site);
    }
    return __libc_memalign(alignment, size);
}

} // namespace

extern "C" {

QUARROW_EXPORT void *malloc(size_t size) {
    quarrow_malloc_hook_fn hook = quarrow_malloc_hook;
    if (hook != nullptr) {
        published_frame published(THIS_FRAME);
        return hook(size, CALL_SITE);
    }
    return __libc_malloc(size);
}

QUARROW_EXPORT void free(void *block) {
    quarrow_free_hook_fn hook = quarrow_free_hook;
    if (hook != nullptr) {
        published_frame published(THIS_FRAME);
        hook(block, CALL_SITE);
        return;
    }
    if (is_private_block(block))
        dlfree(block);
    else
        __libc_free(block);
}

QUARROW_EXPORT void *calloc(size_t count, size_t size) {
    quarrow_malloc_hook_fn hook = quarrow_malloc_hook;
    if (hook == nullptr)
        return __libc_calloc(count, size);
    size_t bytes;
    if (__builtin_mul_overflow(count, size, &bytes)) {
        errno = ENOMEM;
        return nullptr;
    }
    void *block;
    {
        published_frame published(THIS_FRAME);
        block = hook(bytes, CALL_SITE);
    }
    if (block != nullptr)
        memset(block, 0, bytes);
    return block;
}

QUARROW_EXPORT void *realloc(void *block, size_t size) { return dispatch_realloc(block, size, CALL_SITE, THIS_FRAME); }

QUARROW_EXPORT void *reallocarray(void *block, size_t count, size_t size) {
    size_t bytes;
    if (__builtin_mul_overflow(count, size, &bytes)) {
        errno = ENOMEM;
        return nullptr;
    }
    return dispatch_realloc(block, bytes, CALL_SITE, THIS_FRAME);
}

QUARROW_EXPORT void *memalign(size_t alignment, size_t size) {
    return dispatch_memalign(alignment, size, CALL_SITE, THIS_FRAME);
}

QUARROW_EXPORT void *aligned_alloc(size_t alignment, size_t size) {
    // Only powers of two are valid alignments here, as the C standard asks.
    if (!is_power_of_two(alignment)) {
        errno = EINVAL;
        return nullptr;
    }
    return dispatch_memalign(alignment, size, CALL_SITE, THIS_FRAME);
}

QUARROW_EXPORT int posix_memalign(void **out, size_t alignment, size_t size) {
    if (!is_power_of_two(alignment) || alignment % sizeof(void *) != 0)
        return EINVAL;
    // The result is the status: errno is left as it was.
    int saved_errno = errno;
    void *block = dispatch_memalign(alignment, size, CALL_SITE, THIS_FRAME);
    errno = saved_errno;
    if (block == nullptr)
        return ENOMEM;
    *out = block;
    return 0;
}

QUARROW_EXPORT void *valloc(size_t size) {
    quarrow_memalign_hook_fn hook = quarrow_memalign_hook;
    if (hook != nullptr) {
        size_t page = page_size(); // before the frame is published: nothing else runs under it
        published_frame published(THIS_FRAME);
        return hook(page, size, CALL_SITE);
    }
    return __libc_valloc(size);
}

QUARROW_EXPORT void *pvalloc(size_t size) {
    quarrow_memalign_hook_fn hook = quarrow_memalign_hook;
    if (hook == nullptr)
        return __libc_pvalloc(size);
    // Whole pages, and at least one.
    size_t page = page_size();
    size_t rounded;
    if (__builtin_add_overflow(size, page - 1, &rounded)) {
        errno = ENOMEM;
        return nullptr;
    }
    rounded &= ~(page - 1);
    published_frame published(THIS_FRAME);
    return hook(page, rounded != 0 ? rounded : page, CALL_SITE);
}

// With the hooks in, the private heap trims, and the per-thread caches go
// back to it first (the caller's at once, the others' at their next
// request); without them, the C library's allocator trims.
QUARROW_EXPORT int malloc_trim(size_t pad) {
    if (quarrow_malloc_hook != nullptr)
        return dlmalloc_trim(pad);
    trim_fn trim = c_library_trim();
    return trim != nullptr && trim != malloc_trim ? trim(pad) : 0;
}

// Answered by whoever owns the block: ours from the private heap's records,
// anything else from the C library's.
QUARROW_EXPORT size_t malloc_usable_size(void *block) {
    if (block == nullptr)
        return 0;
    if (is_private_block(block))
        return dlmalloc_usable_size(block);
    return c_library_usable_size(block);
}

} // extern "C"
