// Every test program runs in the C.UTF-8 locale, offscreen, and knows the
// source folder, however it is started: by CTest, by hand, or under a
// debugger. (CTest's ENVIRONMENT property does not reach the tests that
// GoogleTest discovers as a list.)

#include <cstdlib>

namespace {

[[gnu::constructor]] void setTheTestEnvironment()
{
    ::setenv("LANG", "C.UTF-8", 1);
    ::setenv("LC_ALL", "C.UTF-8", 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("QUELBY_TEST_SOURCE_DIR", QUELBY_TEST_SOURCE_DIR, 1);
}

} // namespace
