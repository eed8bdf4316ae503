/*
 * One unwind step of 32-bit x86 code: how to find the caller's frame from a
 * return address, read from the owning object's call-frame information.
 * Internal to the capture engine.
 */
#ifndef QUARROW_UNWIND_RULES_H
#define QUARROW_UNWIND_RULES_H

#include <stdint.h>

#include "export.h"

// Where the caller's ebp is: kept, saved at CFA + offset, or saved at a
// register's value + offset (the realigned-stack prologue's expression).
enum ebp_rule_kind : uint8_t { EBP_SAME = 0, EBP_AT_CFA = 1, EBP_AT_REGISTER = 2 };

// DWARF numbers of the two registers a step may start from.
enum { UNWIND_ESP = 4, UNWIND_EBP = 5 };

/*
 * At a return address: CFA = register + offset, dereferenced when cfa_deref
 * is set; the caller's return address is at CFA - 4, its esp is the CFA.
 * `outermost`: the return address is undefined here, so this frame is the
 * last one.
 */
struct unwind_step {
    uint8_t cfa_register; // UNWIND_ESP or UNWIND_EBP
    uint8_t cfa_deref;
    uint8_t ebp_rule;     // ebp_rule_kind
    uint8_t ebp_register; // base for EBP_AT_REGISTER
    uint8_t outermost;
    int32_t cfa_offset;
    int32_t ebp_offset;
};

enum unwind_lookup {
    UNWIND_FOUND,       // the step is filled in
    UNWIND_NO_ENTRY,    // no object holds the address, or no entry covers it
    UNWIND_UNSUPPORTED, // a rule or table form this engine does not follow
};

/*
 * The step for a frame whose code returns to `return_address`, from the
 * unwind tables of the object that holds it. UNWIND_NO_ENTRY is where the
 * platform's unwinder stops too (code generated at run time, say);
 * UNWIND_UNSUPPORTED covers signal frames, unknown opcodes and registers
 * other than esp and ebp, which the caller leaves to the platform.
 */
QUARROW_INTERNAL unwind_lookup find_unwind_step(uintptr_t return_address, unwind_step *step);

#endif
