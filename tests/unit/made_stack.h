// Stacks for posting events in tests, laid out as walk_stack makes them
// (an empty one has a null array). The event that carries one owns it.
#ifndef QUARROW_TESTS_MADE_STACK_H
#define QUARROW_TESTS_MADE_STACK_H

#include <stdint.h>

#include <vector>

#include "private_heap/private_heap.h"
#include "stack_walk/stack_walk.h"

inline call_stack *make_stack(const std::vector<uintptr_t> &frames) {
    call_stack *s = (call_stack *)dlmalloc(sizeof(call_stack));
    s->frame_count = (uint32_t)frames.size();
    s->return_addresses = frames.empty() ? nullptr : (void **)dlmalloc(frames.size() * sizeof(void *));
    for (size_t i = 0; i < frames.size(); i++)
        s->return_addresses[i] = (void *)frames[i];
    return s;
}

#endif
