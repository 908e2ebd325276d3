// The one translation unit that compiles Boost.Asio's TLS support, apart from the rest of Asio so
// that only what uses TLS links OpenSSL.
#include <boost/asio/ssl/impl/src.hpp>
