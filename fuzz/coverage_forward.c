/* Coverage hooks for atheris under g++'s AddressSanitizer runtime.
 *
 * The ASan runtime that the sanitizer runs preload defines weak, do-nothing
 * __sanitizer_cov_* hooks.  Being loaded first, it wins the symbol lookup
 * over the libFuzzer inside atheris (core_with_libfuzzer), so atheris's
 * coverage counters would be registered with nobody and the fuzzer would
 * run blind.  Preloaded ahead of the runtime (with
 * ASAN_OPTIONS=verify_asan_link_order=0), this library takes the lookup
 * instead and hands every hook on to atheris's libFuzzer.  Until that
 * module is loaded, the hooks do nothing.
 *
 *   cc -shared -fPIC -O2 -o coverage_forward.so coverage_forward.c -ldl
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <link.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

static int find_core(struct dl_phdr_info* info, size_t size, void* out) {
  (void)size;
  if (info->dlpi_name != NULL && strstr(info->dlpi_name, "atheris/core_with_libfuzzer") != NULL) {
    *(const char**)out = info->dlpi_name;  /* owned by the loader while loaded */
    return 1;
  }
  return 0;
}

/* The definition of `name` inside atheris's libFuzzer, or NULL. */
static void* libfuzzer_symbol(const char* name) {
  static void* core;
  if (core == NULL) {
    const char* path = NULL;
    dl_iterate_phdr(find_core, &path);
    if (path != NULL) core = dlopen(path, RTLD_NOLOAD | RTLD_LAZY);
  }
  return core == NULL ? NULL : dlsym(core, name);
}

#define FORWARD(name, params, args)                          \
  void name params {                                         \
    static void(*target) params;                             \
    if (target == NULL) {                                    \
      void* found = libfuzzer_symbol(#name);                 \
      if (found == NULL) return;                             \
      *(void**)&target = found;                              \
    }                                                        \
    target args;                                             \
  }

FORWARD(__sanitizer_cov_8bit_counters_init, (uint8_t* begin, uint8_t* end), (begin, end))
FORWARD(__sanitizer_cov_pcs_init, (const uintptr_t* begin, const uintptr_t* end), (begin, end))
FORWARD(__sanitizer_cov_trace_cmp1, (uint8_t a, uint8_t b), (a, b))
FORWARD(__sanitizer_cov_trace_cmp2, (uint16_t a, uint16_t b), (a, b))
FORWARD(__sanitizer_cov_trace_cmp4, (uint32_t a, uint32_t b), (a, b))
FORWARD(__sanitizer_cov_trace_cmp8, (uint64_t a, uint64_t b), (a, b))
FORWARD(__sanitizer_cov_trace_const_cmp1, (uint8_t a, uint8_t b), (a, b))
FORWARD(__sanitizer_cov_trace_const_cmp2, (uint16_t a, uint16_t b), (a, b))
FORWARD(__sanitizer_cov_trace_const_cmp4, (uint32_t a, uint32_t b), (a, b))
FORWARD(__sanitizer_cov_trace_const_cmp8, (uint64_t a, uint64_t b), (a, b))
FORWARD(__sanitizer_cov_trace_switch, (uint64_t value, uint64_t* cases), (value, cases))
FORWARD(__sanitizer_cov_trace_div4, (uint32_t value), (value))
FORWARD(__sanitizer_cov_trace_div8, (uint64_t value), (value))
FORWARD(__sanitizer_cov_trace_gep, (uintptr_t index), (index))
FORWARD(__sanitizer_cov_trace_pc_indir, (uintptr_t callee), (callee))
