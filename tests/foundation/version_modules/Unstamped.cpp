// A plug-in stand-in without a version stamp.
extern "C" __attribute__((visibility("default"))) int nimbrel_unstamped_module_answer() { return 1; }
