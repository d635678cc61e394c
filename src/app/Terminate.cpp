// The handler std::terminate calls for Varnix.exe, in place of libstdc++'s
// default. The default (__gnu_cxx::__verbose_terminate_handler) names the
// exception's type on stderr, and for that links the C++ demangler, 45 KB
// of the program, for a message that a program without a console never
// shows. This one ends the process the same way, through abort(), whose C
// runtime tells the user that the program ended abnormally; what() goes to
// a debugger, if one is watching.
//
// The handler keeps the default's name: libstdc++ refers to it by that name
// both for its initial handler and for std::set_terminate(nullptr), and
// defining it in an object of the executable itself means the linker never
// pulls the library's definition, nor the demangler behind it. (Defining only
// the initial handler is not enough: set_terminate still names the default,
// and on x64 the linker keeps every function that has unwind data, used or
// not, and everything it calls.)
#include <windows.h>

#include <cstdlib>
#include <exception>

namespace __gnu_cxx {

void __verbose_terminate_handler() {
  if (std::exception_ptr current = std::current_exception()) {
    try {
      std::rethrow_exception(current);
    } catch (const std::exception& e) {
      OutputDebugStringA(e.what());
    } catch (...) {
    }
  }
  std::abort();
}

}  // namespace __gnu_cxx
