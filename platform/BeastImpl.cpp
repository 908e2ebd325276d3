// The one translation unit that compiles Boost.Beast.
#include <boost/beast/src.hpp>
