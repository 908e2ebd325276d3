#include "Logging/LogError.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace logging {

std::string demangledTypeName(const char* mangled) {
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> demangled(
        abi::__cxa_demangle(mangled, nullptr, nullptr, &status), &std::free);
    return status == 0 && demangled ? std::string(demangled.get()) : std::string(mangled);
}

LogError::LogError(const std::exception& error)
    : description_(error.what()), typeName_(demangledTypeName(typeid(error).name())) {}

LogError::LogError(std::exception_ptr error) : exception_(std::move(error)) {
    if (!exception_) {
        description_ = "Unknown error";
        typeName_ = "std::exception_ptr";
        return;
    }
    try {
        std::rethrow_exception(exception_);
    } catch (const std::exception& e) {
        description_ = e.what();
        typeName_ = demangledTypeName(typeid(e).name());
    } catch (...) {
        const std::type_info* type = abi::__cxa_current_exception_type();
        typeName_ = type ? demangledTypeName(type->name()) : std::string("unknown");
        description_ = "An exception of type " + typeName_ + " was thrown.";
    }
}

LogError::LogError(const std::error_code& error)
    : description_(error.message()),
      typeName_(std::string("std::error_code(") + error.category().name() + ")") {}

LogError LogError::described(std::string description, std::string typeName) {
    LogError error;
    error.description_ = std::move(description);
    error.typeName_ = std::move(typeName);
    return error;
}

}  // namespace logging
