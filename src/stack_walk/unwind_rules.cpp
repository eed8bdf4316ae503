// Reads an object's .eh_frame_hdr and .eh_frame to find the unwind step at
// a return address. Follows the platform unwinder's conventions exactly:
// the entry is looked up at address - 1, and the rows that apply are those
// that begin before the return address.
#include "stack_walk/stack_walk_internal.h"

#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <string.h>

namespace {

// Pointer encodings of the exception-handling frame data.
enum : uint8_t {
    PE_ABSPTR = 0x00,
    PE_ULEB128 = 0x01,
    PE_UDATA2 = 0x02,
    PE_UDATA4 = 0x03,
    PE_UDATA8 = 0x04,
    PE_SLEB128 = 0x09,
    PE_SDATA2 = 0x0a,
    PE_SDATA4 = 0x0b,
    PE_SDATA8 = 0x0c,
    PE_PCREL = 0x10,
    PE_DATAREL = 0x30,
    PE_INDIRECT = 0x80,
    PE_OMIT = 0xff
};

// Call-frame instructions (the high two bits carry three of them).
enum : uint8_t {
    CFA_ADVANCE_LOC = 0x40,
    CFA_OFFSET = 0x80,
    CFA_RESTORE = 0xc0,
    CFA_NOP = 0x00,
    CFA_SET_LOC = 0x01,
    CFA_ADVANCE_LOC1 = 0x02,
    CFA_ADVANCE_LOC2 = 0x03,
    CFA_ADVANCE_LOC4 = 0x04,
    CFA_OFFSET_EXTENDED = 0x05,
    CFA_RESTORE_EXTENDED = 0x06,
    CFA_UNDEFINED = 0x07,
    CFA_SAME_VALUE = 0x08,
    CFA_REGISTER = 0x09,
    CFA_REMEMBER_STATE = 0x0a,
    CFA_RESTORE_STATE = 0x0b,
    CFA_DEF_CFA = 0x0c,
    CFA_DEF_CFA_REGISTER = 0x0d,
    CFA_DEF_CFA_OFFSET = 0x0e,
    CFA_DEF_CFA_EXPRESSION = 0x0f,
    CFA_EXPRESSION = 0x10,
    CFA_OFFSET_EXTENDED_SF = 0x11,
    CFA_DEF_CFA_SF = 0x12,
    CFA_DEF_CFA_OFFSET_SF = 0x13,
    CFA_VAL_OFFSET = 0x14,
    CFA_VAL_OFFSET_SF = 0x15,
    CFA_VAL_EXPRESSION = 0x16,
    CFA_GNU_ARGS_SIZE = 0x2e,
    CFA_GNU_NEGATIVE_OFFSET_EXTENDED = 0x2f
};

// The two expression operations the realigned-stack prologue uses.
enum : uint8_t { OP_DEREF = 0x06, OP_BREG0 = 0x70 };

// How one register is recovered. Registers this engine never reads back
// only need to be told apart from the stack and frame pointers and the
// return address.
enum rule_how : uint8_t { RULE_UNSAVED, RULE_UNDEFINED, RULE_OFFSET, RULE_EXPRESSION, RULE_OTHER };

struct register_rule {
    rule_how how;
    int32_t offset;
    const uint8_t *expression; // uleb length, then the operations
};

struct row_state {
    bool cfa_is_expression;
    uint32_t cfa_register;
    int32_t cfa_offset;
    const uint8_t *cfa_expression;
    register_rule sp, fp, return_address;
};

// remember_state nesting deeper than this is left to the platform unwinder.
constexpr int kMaxRememberedStates = 8;

struct reader {
    const uint8_t *at;
    const uint8_t *end;
    bool failed;

    bool has(uintptr_t bytes) {
        if (failed || (uintptr_t)(end - at) < bytes)
            failed = true;
        return !failed;
    }
    uint8_t u8() { return has(1) ? *at++ : 0; }
    // A little-endian field of T's width, 0 when the data runs out.
    template <typename T> T fixed() {
        T v = 0;
        if (has(sizeof(T))) {
            memcpy(&v, at, sizeof(T));
            at += sizeof(T);
        }
        return v;
    }
    uint32_t u16() { return fixed<uint16_t>(); }
    uint32_t u32() { return fixed<uint32_t>(); }
    uint64_t u64() { return fixed<uint64_t>(); }
    uint32_t uleb() {
        uint32_t value = 0;
        for (unsigned shift = 0;; shift += 7) {
            uint8_t byte = u8();
            if (failed)
                return 0;
            if (shift < 32)
                value |= (uint32_t)(byte & 0x7f) << shift;
            if (!(byte & 0x80))
                return value;
        }
    }
    int32_t sleb() {
        uint32_t value = 0;
        unsigned shift = 0;
        uint8_t byte;
        do {
            byte = u8();
            if (failed)
                return 0;
            if (shift < 32)
                value |= (uint32_t)(byte & 0x7f) << shift;
            shift += 7;
        } while (byte & 0x80);
        if (shift < 32 && (byte & 0x40))
            value |= ~(uint32_t)0 << shift;
        return (int32_t)value;
    }
    void skip(uint32_t bytes) {
        if (has(bytes))
            at += bytes;
    }
    // An encoded pointer; `data_base` serves the data-relative encoding.
    uintptr_t pointer(uint8_t encoding, uintptr_t data_base) {
        if (encoding == PE_OMIT)
            return 0;
        uintptr_t field = (uintptr_t)at;
        uintptr_t value;
        switch (encoding & 0x0f) {
        case PE_ABSPTR: // a word of the target
            value = sizeof(uintptr_t) == 8 ? (uintptr_t)u64() : u32();
            break;
        case PE_UDATA4:
            value = u32();
            break;
        case PE_SDATA4: // offsets before their field are negative
            value = (uintptr_t)(intptr_t)(int32_t)u32();
            break;
        case PE_UDATA2:
            value = u16();
            break;
        case PE_SDATA2:
            value = (uintptr_t)(int32_t)(int16_t)u16();
            break;
        case PE_ULEB128:
            value = uleb();
            break;
        case PE_SLEB128:
            value = (uintptr_t)sleb();
            break;
        case PE_UDATA8:
        case PE_SDATA8:
            if (sizeof(uintptr_t) == 8) {
                value = (uintptr_t)u64();
                break;
            }
            failed = true;
            return 0; // no place for them in 32-bit code
        default:
            failed = true;
            return 0;
        }
        switch (encoding & 0x70) {
        case 0:
            break;
        case PE_PCREL:
            value += field;
            break;
        case PE_DATAREL:
            value += data_base;
            break;
        default:
            failed = true;
            return 0;
        }
        if ((encoding & PE_INDIRECT) && !failed)
            value = *(const uintptr_t *)value;
        return value;
    }
};

// What the CIE tells every FDE that refers to it.
struct cie_info {
    uint32_t code_align;
    int32_t data_align;
    uint32_t return_column;
    uint8_t fde_encoding;
    bool has_augmentation_data;
    const uint8_t *instructions;
    const uint8_t *end;
};

bool read_cie(const uint8_t *cie, cie_info *info) {
    reader r = {cie, cie + 4, false};
    uint32_t length = r.u32();
    if (length == 0 || length == 0xffffffffu)
        return false;
    r.end = cie + 4 + length;
    if (r.u32() != 0)
        return false; // not a CIE
    uint8_t version = r.u8();
    if (version != 1 && version != 3 && version != 4)
        return false;
    const char *augmentation = (const char *)r.at;
    size_t augmentation_length = strnlen(augmentation, (size_t)(r.end - r.at));
    r.skip((uint32_t)augmentation_length + 1);
    if (version == 4 && (r.u8() != sizeof(uintptr_t) || r.u8() != 0))
        return false; // address and segment sizes
    info->code_align = r.uleb();
    info->data_align = r.sleb();
    info->return_column = version == 1 ? r.u8() : r.uleb();
    info->fde_encoding = PE_ABSPTR;
    info->has_augmentation_data = augmentation[0] == 'z';
    if (info->has_augmentation_data) {
        uint32_t data_length = r.uleb();
        const uint8_t *data_end = r.at + data_length;
        for (size_t i = 1; i < augmentation_length && !r.failed; ++i) {
            switch (augmentation[i]) {
            case 'R':
                info->fde_encoding = r.u8();
                break;
            case 'L':
                r.u8();
                break;
            case 'P': {
                uint8_t encoding = r.u8();
                r.pointer(encoding & 0x7f, 0); // skipped, not followed
                break;
            }
            default:
                return false; // 'S' (signal frames) and anything unknown
            }
        }
        if (r.failed || r.at > data_end)
            return false;
        r.at = data_end;
    } else if (augmentation_length != 0) {
        return false;
    }
    if (r.failed || r.at > r.end)
        return false;
    info->instructions = r.at;
    info->end = r.end;
    return true;
}

register_rule *rule_for(row_state *state, uint32_t column, uint32_t return_column) {
    if (column == return_column)
        return &state->return_address;
    if (column == UNWIND_SP)
        return &state->sp;
    if (column == UNWIND_FP)
        return &state->fp;
    return nullptr; // a register the engine never reads back
}

void set_rule(row_state *state, uint32_t column, uint32_t return_column, rule_how how, int32_t offset,
              const uint8_t *expression) {
    register_rule *rule = rule_for(state, column, return_column);
    if (rule != nullptr)
        *rule = {how, offset, expression};
}

// Puts a register back to its rule in the CIE's row (`initial`); false while
// the CIE's own instructions run, as they have no row to go back to.
bool restore_rule(row_state *state, const row_state *initial, uint32_t column, uint32_t return_column) {
    if (initial == nullptr)
        return false;
    register_rule *rule = rule_for(state, column, return_column);
    if (rule != nullptr)
        *rule = *rule_for(const_cast<row_state *>(initial), column, return_column);
    return true;
}

// Runs call-frame instructions while the row's location is before `limit`.
// `initial` is the CIE's row, for restore; null while running the CIE.
bool run_instructions(const uint8_t *at, const uint8_t *end, const cie_info &cie, uintptr_t location, uintptr_t limit,
                      const row_state *initial, row_state *state) {
    row_state remembered[kMaxRememberedStates];
    int remembered_count = 0;
    reader r = {at, end, false};
    const uint32_t ra = cie.return_column;
    while (r.at < r.end && location < limit) {
        uint8_t op = r.u8();
        uint8_t low = op & 0x3f;
        switch (op & 0xc0) {
        case CFA_ADVANCE_LOC:
            location += low * cie.code_align;
            continue;
        case CFA_OFFSET:
            set_rule(state, low, ra, RULE_OFFSET, (int32_t)r.uleb() * cie.data_align, nullptr);
            continue;
        case CFA_RESTORE:
            if (!restore_rule(state, initial, low, ra))
                return false;
            continue;
        }
        switch (op) {
        case CFA_NOP:
            break;
        case CFA_ADVANCE_LOC1:
            location += r.u8() * cie.code_align;
            break;
        case CFA_ADVANCE_LOC2:
            location += r.u16() * cie.code_align;
            break;
        case CFA_ADVANCE_LOC4:
            location += r.u32() * cie.code_align;
            break;
        case CFA_OFFSET_EXTENDED:
        case CFA_OFFSET_EXTENDED_SF:
        case CFA_GNU_NEGATIVE_OFFSET_EXTENDED: {
            uint32_t column = r.uleb();
            int32_t factored = op == CFA_OFFSET_EXTENDED_SF ? r.sleb() : (int32_t)r.uleb();
            if (op == CFA_GNU_NEGATIVE_OFFSET_EXTENDED)
                factored = -factored;
            set_rule(state, column, ra, RULE_OFFSET, factored * cie.data_align, nullptr);
            break;
        }
        case CFA_RESTORE_EXTENDED:
            if (!restore_rule(state, initial, r.uleb(), ra))
                return false;
            break;
        case CFA_UNDEFINED:
            set_rule(state, r.uleb(), ra, RULE_UNDEFINED, 0, nullptr);
            break;
        case CFA_SAME_VALUE:
            set_rule(state, r.uleb(), ra, RULE_UNSAVED, 0, nullptr);
            break;
        case CFA_REGISTER: {
            uint32_t column = r.uleb();
            uint32_t source = r.uleb();
            // A register kept in itself is unchanged; kept in another, it is
            // beyond this engine (it tracks no other register's value).
            set_rule(state, column, ra, column == source ? RULE_UNSAVED : RULE_OTHER, 0, nullptr);
            break;
        }
        case CFA_REMEMBER_STATE:
            if (remembered_count == kMaxRememberedStates)
                return false;
            remembered[remembered_count++] = *state;
            break;
        case CFA_RESTORE_STATE: {
            if (remembered_count == 0)
                return false;
            // The CFA is restored with the registers, as the platform's unwinder does.
            *state = remembered[--remembered_count];
            break;
        }
        case CFA_DEF_CFA:
            state->cfa_is_expression = false;
            state->cfa_register = r.uleb();
            state->cfa_offset = (int32_t)r.uleb();
            break;
        case CFA_DEF_CFA_SF:
            state->cfa_is_expression = false;
            state->cfa_register = r.uleb();
            state->cfa_offset = r.sleb() * cie.data_align;
            break;
        case CFA_DEF_CFA_REGISTER:
            state->cfa_is_expression = false;
            state->cfa_register = r.uleb();
            break;
        case CFA_DEF_CFA_OFFSET:
            state->cfa_offset = (int32_t)r.uleb();
            break;
        case CFA_DEF_CFA_OFFSET_SF:
            state->cfa_offset = r.sleb() * cie.data_align;
            break;
        case CFA_DEF_CFA_EXPRESSION:
            state->cfa_is_expression = true;
            state->cfa_expression = r.at;
            r.skip(r.uleb());
            break;
        case CFA_EXPRESSION: {
            uint32_t column = r.uleb();
            set_rule(state, column, ra, RULE_EXPRESSION, 0, r.at);
            r.skip(r.uleb());
            break;
        }
        case CFA_VAL_EXPRESSION: {
            uint32_t column = r.uleb();
            set_rule(state, column, ra, RULE_OTHER, 0, nullptr);
            r.skip(r.uleb());
            break;
        }
        case CFA_VAL_OFFSET:
        case CFA_VAL_OFFSET_SF: {
            uint32_t column = r.uleb();
            if (op == CFA_VAL_OFFSET)
                r.uleb();
            else
                r.sleb();
            set_rule(state, column, ra, RULE_OTHER, 0, nullptr);
            break;
        }
        case CFA_GNU_ARGS_SIZE:
            r.uleb();
            break; // matters to landing pads only
        default:
            return false; // set_loc, window saves and anything unknown
        }
        if (r.failed)
            return false;
    }
    return !r.failed;
}

// A register-based address: exactly one "breg sp/fp, offset", optionally
// followed by one dereference. Anything longer is left to the platform.
bool read_register_expression(const uint8_t *expression, uint8_t *base, int32_t *offset, bool *deref) {
    reader r = {expression, expression + 5, false};
    uint32_t length = r.uleb();
    if (r.failed)
        return false;
    r.end = r.at + length;
    uint8_t op = r.u8();
    if (op != OP_BREG0 + UNWIND_SP && op != OP_BREG0 + UNWIND_FP)
        return false;
    *base = op - OP_BREG0;
    *offset = r.sleb();
    *deref = false;
    if (r.at < r.end && r.u8() == OP_DEREF)
        *deref = true;
    return !r.failed && r.at == r.end;
}

bool make_step(const row_state &row, unwind_step *step) {
    memset(step, 0, sizeof *step);
    if (row.return_address.how == RULE_UNDEFINED) {
        step->outermost = 1; // the platform records this frame, then stops
        return true;
    }
    // The return address is the word below the CFA, and the caller's stack
    // pointer is the CFA itself.
    if (row.return_address.how != RULE_OFFSET || row.return_address.offset != -(int32_t)sizeof(uintptr_t))
        return false;
    if (row.sp.how != RULE_UNSAVED && row.sp.how != RULE_UNDEFINED)
        return false;
    if (row.cfa_is_expression) {
        bool deref;
        if (!read_register_expression(row.cfa_expression, &step->cfa_register, &step->cfa_offset, &deref))
            return false;
        step->cfa_deref = deref;
    } else {
        if (row.cfa_register != UNWIND_SP && row.cfa_register != UNWIND_FP)
            return false;
        step->cfa_register = (uint8_t)row.cfa_register;
        step->cfa_offset = row.cfa_offset;
    }
    switch (row.fp.how) {
    case RULE_UNSAVED:
    case RULE_UNDEFINED:
        step->fp_rule = FP_SAME;
        break; // the platform treats both alike
    case RULE_OFFSET:
        step->fp_rule = FP_AT_CFA;
        step->fp_offset = row.fp.offset;
        break;
    case RULE_EXPRESSION: {
        bool deref;
        if (!read_register_expression(row.fp.expression, &step->fp_register, &step->fp_offset, &deref) || deref)
            return false;
        step->fp_rule = FP_AT_REGISTER;
        break;
    }
    default:
        return false;
    }
    return true;
}

// The last FDE that starts at or before `pc`, by binary search of the
// header's sorted table; the caller checks its range. Only the usual table
// encoding is searched: the platform searches the others linearly.
unwind_lookup find_fde(const uint8_t *header, uintptr_t pc, const uint8_t **fde) {
    reader r = {header, header + 4, false};
    if (r.u8() != 1)
        return UNWIND_NO_ENTRY; // the platform ignores such a header too
    uint8_t frame_pointer_encoding = r.u8();
    uint8_t count_encoding = r.u8();
    uint8_t table_encoding = r.u8();
    if (table_encoding != (PE_DATAREL | PE_SDATA4) || count_encoding == PE_OMIT)
        return UNWIND_UNSUPPORTED;
    r.end = header + 16;
    r.pointer(frame_pointer_encoding, (uintptr_t)header);
    uintptr_t count = r.pointer(count_encoding, (uintptr_t)header);
    if (r.failed)
        return UNWIND_UNSUPPORTED;
    const int32_t *table = (const int32_t *)r.at; // pairs: start, FDE
    uintptr_t base = (uintptr_t)header;
    if (count == 0 || pc < base + (uintptr_t)table[0])
        return UNWIND_NO_ENTRY;
    uintptr_t low = 0, high = count; // the answer is in [low, high)
    while (high - low > 1) {
        uintptr_t middle = low + (high - low) / 2;
        if (pc < base + (uintptr_t)table[2 * middle])
            high = middle;
        else
            low = middle;
    }
    *fde = (const uint8_t *)(base + (uintptr_t)table[2 * low + 1]);
    return UNWIND_FOUND;
}

} // namespace

unwind_lookup find_unwind_step(uintptr_t return_address, unwind_step *step) {
    uintptr_t pc = return_address - 1; // inside the call, not after it
    struct dl_find_object object;
    if (_dl_find_object((void *)pc, &object) != 0 || object.dlfo_eh_frame == nullptr)
        return UNWIND_NO_ENTRY;
    const uint8_t *fde = nullptr;
    unwind_lookup found = find_fde((const uint8_t *)object.dlfo_eh_frame, pc, &fde);
    if (found != UNWIND_FOUND)
        return found;

    reader r = {fde, fde + 4, false};
    uint32_t length = r.u32();
    if (length == 0 || length == 0xffffffffu)
        return UNWIND_UNSUPPORTED;
    r.end = fde + 4 + length;
    const uint8_t *cie_pointer_field = r.at;
    uint32_t cie_offset = r.u32();
    if (r.failed || cie_offset == 0)
        return UNWIND_UNSUPPORTED;
    cie_info cie;
    if (!read_cie(cie_pointer_field - cie_offset, &cie))
        return UNWIND_UNSUPPORTED;
    uintptr_t start = r.pointer(cie.fde_encoding, 0);
    uintptr_t range = r.pointer(cie.fde_encoding & 0x0f, 0);
    if (r.failed)
        return UNWIND_UNSUPPORTED;
    if (pc < start || pc - start >= range)
        return UNWIND_NO_ENTRY; // between functions: code without unwind rules
    if (cie.has_augmentation_data)
        r.skip(r.uleb());
    if (r.failed)
        return UNWIND_UNSUPPORTED;

    row_state row;
    memset(&row, 0, sizeof row);
    if (!run_instructions(cie.instructions, cie.end, cie, start, return_address, nullptr, &row))
        return UNWIND_UNSUPPORTED;
    row_state initial = row;
    if (!run_instructions(r.at, r.end, cie, start, return_address, &initial, &row))
        return UNWIND_UNSUPPORTED;
    return make_step(row, step) ? UNWIND_FOUND : UNWIND_UNSUPPORTED;
}
