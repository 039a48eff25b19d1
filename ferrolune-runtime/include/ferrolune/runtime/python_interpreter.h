// Which Python runs the package's runner scripts and the ONNX Runtime
// measurements: the interpreter that has loaded this module first, because
// that is where the user installed the packages the scripts need.
//
// The host interpreter is set once, when the extension module is imported,
// and read from the measurement threads afterwards.
#pragma once

#include <optional>
#include <string>

namespace ferrolune {

// Remembers the interpreter this process runs in (sys.executable); an empty
// path forgets it.
void set_host_interpreter(std::string path);
std::optional<std::string> host_interpreter();

// The first usable one of: FERROLUNE_PYTHON (a path, or a name looked up on
// PATH), the host interpreter, python3 on PATH. Usable means an executable
// regular file; nothing when none is.
std::optional<std::string> choose_python();

}  // namespace ferrolune
