// Redirects one function that a loaded module imports, for the few failures of the system that a
// test cannot bring about for real.
#pragma once

#include <windows.h>

namespace testsupport {

// Points `module`'s import of `function` from `dll` at `replacement`; false if the module does not
// import it by name. Only the module's own calls change.
bool replaceImport(HMODULE module, const char *dll, const char *function, const void *replacement);

} // namespace testsupport
