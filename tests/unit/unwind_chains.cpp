#include "unwind_chains.h"

#include <alloca.h>
#include <stdlib.h>

#include <algorithm>
#include <mutex>
#include <ostream>
#include <streambuf>

namespace {

int descend(int level, ChainRun *run);

// Each shape keeps working after its call, so no call becomes a jump.
__attribute__((noinline)) int small_frame(int level, ChainRun *run) { return descend(level - 1, run) + 1; }

__attribute__((noinline)) int large_frame(int level, ChainRun *run) {
    volatile int locals[300];
    locals[level % 300] = level;
    return descend(level - 1, run) + locals[level % 300];
}

// Its size is known only at run time, so it gets a frame pointer.
__attribute__((noinline)) int variable_frame(int level, ChainRun *run) {
    volatile char *bytes = (volatile char *)alloca(16 + 24 * (level % 7));
    bytes[0] = (char)level;
    return descend(level - 1, run) + bytes[0];
}

__attribute__((noinline)) int many_arguments(int level, ChainRun *run, int a, int b, int c, int d, int e, int f) {
    return descend(level - 1, run) + a - b + c - d + e - f;
}

__attribute__((noinline, optimize("no-omit-frame-pointer"))) int frame_pointer_frame(int level, ChainRun *run) {
    volatile int local = level;
    return descend(level - 1, run) + local;
}

// Over-aligned locals with a run-time size: the frame realigns the stack
// through a saved argument pointer, so its unwind rules are expressions.
__attribute__((noipa)) int realigned_frame(int level, ChainRun *run) {
    alignas(64) volatile char block[64];
    volatile char *bytes = (volatile char *)alloca(8 + level % 16);
    block[level % 64] = bytes[0] = 1;
    return descend(level - 1, run) + block[level % 64] + bytes[0];
}

int descend(int level, ChainRun *run) {
    if (level <= 0) {
        if (run->spin_until) {
            while (!*run->spin_until) {
            }
            return 0;
        }
        capture_all(run->capture, run->size);
        return 1;
    }
    if (level == run->realigned_level)
        return realigned_frame(level, run);
    switch (level % 5) {
    case 0:
        return small_frame(level, run);
    case 1:
        return large_frame(level, run);
    case 2:
        return variable_frame(level, run);
    case 3:
        return many_arguments(level, run, level, level * 3, level ^ 5, level + 7, level * level, level - 9);
    default:
        return frame_pointer_frame(level, run);
    }
}

void capture_into(std::vector<Capture> &out) {
    int size = kCallbackSizes[out.size() % (sizeof kCallbackSizes / sizeof kCallbackSizes[0])];
    out.emplace_back();
    capture_all(&out.back(), size);
}

std::vector<int> shuffled(int elements) {
    std::vector<int> values(elements);
    for (int i = 0; i < elements; i++)
        values[i] = (int)((i * 2654435761u) % 100003u);
    return values;
}

std::vector<Capture> *qsort_out;
int qsort_calls, qsort_every;

int compare_capturing(const void *a, const void *b) {
    if (++qsort_calls % qsort_every == 0)
        capture_into(*qsort_out);
    int x = *(const int *)a, y = *(const int *)b;
    return (x > y) - (x < y);
}

class CapturingBuffer : public std::streambuf {
public:
    explicit CapturingBuffer(std::vector<Capture> &out) : out_(out) {}

protected:
    int_type overflow(int_type ch) override {
        capture_into(out_);
        return ch;
    }
    std::streamsize xsputn(const char *, std::streamsize n) override {
        capture_into(out_);
        return n;
    }

private:
    std::vector<Capture> &out_;
};

} // namespace

int run_chain(int levels, ChainRun *run) { return descend(levels, run) + 1; }

int chain_entry(void *run) { return run_chain(6, (ChainRun *)run) + 1; }

#if defined(__i386__)
// A frame-pointer frame with no CFI at all: nothing in .eh_frame covers it.
// The stack stays 16-byte aligned at the inner call.
asm(R"(
    .text
    .globl call_without_unwind_info
    .hidden call_without_unwind_info
    .type call_without_unwind_info, @function
call_without_unwind_info:
    pushl %ebp
    movl %esp, %ebp
    subl $4, %esp
    pushl 12(%ebp)
    call *8(%ebp)
    leave
    ret
    .size call_without_unwind_info, .-call_without_unwind_info
)");

// The same without a frame pointer of its own: fn runs with ebp set to
// `planted`, as after compiled code that used the register for data. ebx
// keeps this frame's own ebp across the call.
asm(R"(
    .text
    .globl call_with_planted_frame_pointer
    .hidden call_with_planted_frame_pointer
    .type call_with_planted_frame_pointer, @function
call_with_planted_frame_pointer:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    movl %ebp, %ebx
    pushl 12(%ebp)
    movl 8(%ebp), %eax
    movl 16(%ebp), %ebp
    call *%eax
    movl %ebx, %ebp
    movl -4(%ebp), %ebx
    leave
    ret
    .size call_with_planted_frame_pointer, .-call_with_planted_frame_pointer
)");
#elif defined(__x86_64__)
// A frame-pointer frame with no CFI at all: nothing in .eh_frame covers it.
// The stack stays 16-byte aligned at the inner call.
asm(R"(
    .text
    .globl call_without_unwind_info
    .hidden call_without_unwind_info
    .type call_without_unwind_info, @function
call_without_unwind_info:
    pushq %rbp
    movq %rsp, %rbp
    movq %rdi, %rax
    movq %rsi, %rdi
    call *%rax
    leave
    ret
    .size call_without_unwind_info, .-call_without_unwind_info
)");

// The same without a frame pointer of its own: fn runs with rbp set to
// `planted`, as after compiled code that used the register for data. rbx
// keeps this frame's own rbp across the call.
asm(R"(
    .text
    .globl call_with_planted_frame_pointer
    .hidden call_with_planted_frame_pointer
    .type call_with_planted_frame_pointer, @function
call_with_planted_frame_pointer:
    pushq %rbp
    movq %rsp, %rbp
    pushq %rbx
    subq $8, %rsp
    movq %rbp, %rbx
    movq %rdi, %rax
    movq %rsi, %rdi
    movq %rdx, %rbp
    call *%rax
    movq %rbx, %rbp
    movq -8(%rbp), %rbx
    leave
    ret
    .size call_with_planted_frame_pointer, .-call_with_planted_frame_pointer
)");

// As above, but with the unwind rules of a frame-pointer frame (CFA = rbp +
// 16) kept while rbp holds `planted`: every unwinder that trusts the rules
// reads the caller's frame at `planted`.
asm(R"(
    .text
    .globl call_with_planted_frame_rules
    .hidden call_with_planted_frame_rules
    .type call_with_planted_frame_rules, @function
call_with_planted_frame_rules:
    .cfi_startproc
    pushq %rbp
    .cfi_adjust_cfa_offset 8
    .cfi_rel_offset %rbp, 0
    movq %rsp, %rbp
    .cfi_def_cfa_register %rbp
    pushq %rbx
    subq $8, %rsp
    movq %rbp, %rbx
    movq %rdi, %rax
    movq %rsi, %rdi
    movq %rdx, %rbp
    call *%rax
    .globl planted_frame_rules_return
    .hidden planted_frame_rules_return
planted_frame_rules_return:
    movq %rbx, %rbp
    movq -8(%rbp), %rbx
    leave
    .cfi_def_cfa %rsp, 8
    ret
    .cfi_endproc
    .size call_with_planted_frame_rules, .-call_with_planted_frame_rules

    .globl code_without_unwind_info
    .hidden code_without_unwind_info
    .type code_without_unwind_info, @function
code_without_unwind_info:
    .fill 32, 1, 0x90
    .size code_without_unwind_info, .-code_without_unwind_info
)");
#else
#error "the unwind tests support i386 and x86_64 only"
#endif

bool std_sort_capturing(std::vector<Capture> &out, int elements, int every) {
    std::vector<int> values = shuffled(elements);
    int calls = 0;
    std::sort(values.begin(), values.end(), [&](int a, int b) {
        if (++calls % every == 0)
            capture_into(out);
        return a < b;
    });
    return std::is_sorted(values.begin(), values.end());
}

bool qsort_capturing(std::vector<Capture> &out, int elements, int every) {
    std::vector<int> values = shuffled(elements);
    qsort_out = &out;
    qsort_calls = 0;
    qsort_every = every;
    qsort(values.data(), values.size(), sizeof(int), compare_capturing);
    return std::is_sorted(values.begin(), values.end());
}

void capture_in_libstdcxx_callbacks(std::vector<Capture> &out) {
    CapturingBuffer buffer(out);
    std::ostream stream(&buffer);
    for (int i = 0; i < 4; i++) { // once at each of the callback sizes
        stream << "text";         // __ostream_insert -> sputn -> xsputn
        stream << 12345;          // num_put -> xsputn or overflow
        stream.put('x');          // sputc -> overflow
    }
    std::once_flag once;
    std::call_once(once, [&] { capture_into(out); }); // pthread_once -> __once_proxy
}
