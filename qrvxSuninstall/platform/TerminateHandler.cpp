// What ends the process when an exception is not caught, or where the C++ library would throw one: the
// program throws none itself and catches none, so one from the runtime ends it all the same.
//
// libstdc++'s own terminate handler first prints the exception's type by its demangled name, and so brings
// its demangler along, some 45 KB: a quarter of the program. Its functions that throw for std::string and
// std::vector (length_error, out_of_range and the like) bring every standard exception class, and with
// them a second, reference-counted std::string that those classes hold, some 35 KB more. Defined here, in
// the program's own objects, each is found before the library's, which is then not linked in; like the
// library's once nothing has caught what it threw, each aborts.
#include <cstdlib>  // which also says whether this is libstdc++

#if defined(__GLIBCXX__)

#include <string>  // which declares the library's throwing functions (bits/functexcept.h)

// NOLINTBEGIN(bugprone-reserved-identifier,misc-use-internal-linkage,cert-dcl58-cpp): the library's names
namespace __gnu_cxx {

void __verbose_terminate_handler() {
    std::abort();
}

}  // namespace __gnu_cxx

namespace std {

void __throw_bad_alloc() {
    std::abort();
}

void __throw_bad_array_new_length() {
    std::abort();
}

void __throw_length_error(const char* /*what*/) {
    std::abort();
}

void __throw_logic_error(const char* /*what*/) {
    std::abort();
}

void __throw_out_of_range(const char* /*what*/) {
    std::abort();
}

void __throw_out_of_range_fmt(const char* /*format*/, ...) {
    std::abort();
}

}  // namespace std
// NOLINTEND(bugprone-reserved-identifier,misc-use-internal-linkage,cert-dcl58-cpp)

#endif
