// Built into the libFuzzer binaries only. The sanitizer runtime is a shared
// library there (so the store's shared library can link against it), and the
// fuzzer's own C++ runtime is loaded ahead of it; that order is harmless, as
// the C library still comes after the runtime.
extern "C" const char *__asan_default_options() {
    return "verify_asan_link_order=0";
}
