// The one translation unit that compiles Boost.Asio (with its TLS support).
#include <boost/asio/impl/src.hpp>
#include <boost/asio/ssl/impl/src.hpp>
