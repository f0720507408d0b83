// The C++ library's failures (a string or a table too long, no memory for
// one, an index out of range) in the Windows setup program: nothing in the
// program catches an exception, so each ends the program as an uncaught one
// would, in abort(), after its text on standard error. Defined here, the
// library's own versions stay out of the program, and with them its
// exception classes and the second string implementation they use (about
// 45 KB that every package would carry).
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fputs("delta_setup: the C++ library failed: ", stderr);
  std::fputs(what ? what : "", stderr);
  std::fputs("\n", stderr);
  std::abort();
}

}  // namespace

namespace std {

void __throw_bad_exception() { Fail("bad exception"); }
void __throw_bad_alloc() { Fail("out of memory"); }
void __throw_bad_array_new_length() { Fail("bad array length"); }
void __throw_bad_cast() { Fail("bad cast"); }
void __throw_bad_typeid() { Fail("bad typeid"); }
void __throw_logic_error(const char* what) { Fail(what); }
void __throw_domain_error(const char* what) { Fail(what); }
void __throw_invalid_argument(const char* what) { Fail(what); }
void __throw_length_error(const char* what) { Fail(what); }
void __throw_out_of_range(const char* what) { Fail(what); }
// The text is a printf format: its values are not at hand.
void __throw_out_of_range_fmt(const char*, ...) { Fail("a position out of range"); }
void __throw_runtime_error(const char* what) { Fail(what); }
void __throw_range_error(const char* what) { Fail(what); }
void __throw_overflow_error(const char* what) { Fail(what); }
void __throw_underflow_error(const char* what) { Fail(what); }

}  // namespace std
