// Linked into every test program: the tests see the product's source texts whatever language the
// developer's session asks for, and so do the programs they start (the command line, the
// workers), which follow these variables. A test that wants another language sets them itself.
#include <cstdlib>

namespace {

[[maybe_unused]] const bool sourceLanguage = [] {
    ::unsetenv("LANGUAGE");
    ::setenv("LC_ALL", "C.UTF-8", 1);
    return true;
}();

}  // namespace
