// What ends the process when an exception is not caught: the program throws none itself, and one from the
// runtime (std::bad_alloc, say) ends it all the same. libstdc++'s own handler for that first prints the
// exception's type by its demangled name, and so brings its demangler along, some 45 KB: a quarter of the
// program. Defined here, in the program's own objects, it is found before the library's, which is then not
// linked in; like the library's after it has printed, it aborts.
#include <cstdlib>  // which also says whether this is libstdc++

#if defined(__GLIBCXX__)

// NOLINTNEXTLINE(bugprone-reserved-identifier): the name libstdc++ gives its default terminate handler
namespace __gnu_cxx {

// NOLINTNEXTLINE(bugprone-reserved-identifier,misc-use-internal-linkage): that handler, in its place
void __verbose_terminate_handler() {
    std::abort();
}

}  // namespace __gnu_cxx

#endif
