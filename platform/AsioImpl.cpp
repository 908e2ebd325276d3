// The one translation unit that compiles Boost.Asio.
#include <boost/asio/impl/src.hpp>
