// Job-file texts without an XML declaration are read in the locale's character set, which
// the program decides once per process. The tests expect the C locale's, whatever locale
// they were started in: it is set before any test runs (and kro started by a test inherits it).
#include <cstdlib>

namespace {
const bool kCLocale = [] { return setenv("LC_ALL", "C", 1) == 0; }();
}  // namespace
