// A tiny shared object that DynamicLibraryTest loads at run time.
extern "C" __attribute__((visibility("default"))) int nimbrel_test_module_answer() { return 42; }
