// The typing discipline of MCP messages. A method ("initialize", "tools/call", ...) is a type
// that names its parameters type, its result type and its wire name; a notification is a type
// that names its parameters type and its wire name. The envelopes (MCP/Request.h,
// MCP/Response.h, MCP/Message.h) are generic over them.
//
//   struct Ping {
//       using Parameters = mcp::Empty;
//       using Result = mcp::Empty;
//       static constexpr std::string_view name = "ping";
//   };
//
// AnyMethod and AnyNotification are the type-erased forms: parameters and results are Values
// and the real name is the envelope's `method` field.
//
// Compile-time only: nothing here has state.
#pragma once

#include <concepts>
#include <string_view>
#include <type_traits>

#include "MCP/JSON/Coding.h"
#include "MCP/JSON/Value.h"

namespace mcp {

// The parameters or result of a message that carries nothing. Encodes as {}, decodes from any
// JSON value without reading it; all values are equal.
struct Empty : Fieldless {
    static constexpr bool notRequired = true;
};

// A parameters type whose value-initialised form stands in when a message has no "params"
// member, or null. Opt in with `static constexpr bool notRequired = true;` in the type;
// Value (null) and Empty take part.
template <class T>
struct NotRequiredTraits {
    static constexpr bool value = requires { requires T::notRequired; };
};
template <>
struct NotRequiredTraits<Value> {
    static constexpr bool value = true;
};

template <class T>
concept NotRequired = NotRequiredTraits<T>::value && std::default_initializable<T>;

template <class M>
concept Method = requires {
    typename M::Parameters;
    typename M::Result;
    { M::name } -> std::convertible_to<std::string_view>;
}
&&Codable<typename M::Parameters>&& Codable<typename M::Result>;

// The notification type itself is Codable too (field-less types derive from Fieldless).
template <class N>
concept Notification = requires {
    typename N::Parameters;
    { N::name } -> std::convertible_to<std::string_view>;
}
&&Codable<N>&& Codable<typename N::Parameters>;

struct AnyMethod {
    using Parameters = Value;
    using Result = Value;
    static constexpr std::string_view name = "";
};

struct AnyNotification : Fieldless {
    using Parameters = Value;
    static constexpr std::string_view name = "";
};

}  // namespace mcp
