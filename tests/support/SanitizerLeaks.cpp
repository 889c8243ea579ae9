// LeakSanitizer settings for the test programs that bring up GTK.
#if defined(__SANITIZE_ADDRESS__)
// Under Xvfb GTK loads Mesa's software GL driver, which holds an allocation from one of its
// globals; the driver is unloaded before the leak check runs, so that allocation then looks
// lost and the report names no module. Keeping every module loaded to the end keeps such
// memory reachable, so the leak check still fails on our own leaks and on nothing else.
extern "C" int dlclose(void*) { return 0; }
// fontconfig keeps its font caches until exit by design.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
#endif
