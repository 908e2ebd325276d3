#include "MCP/OAuth/OAuthError.h"

#include <utility>

namespace mcp {

namespace {

using Case = OAuthAuthorizationError::Case;

std::string joined(const std::vector<std::string>& texts, std::string_view separator) {
    std::string out;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (i > 0) {
            out += separator;
        }
        out += texts[i];
    }
    return out;
}

}  // namespace

std::string OAuthAuthorizationError::serverText(std::string_view text) {
    std::size_t length = text.size();
    const bool cut = length > kMaxServerTextLength;
    if (cut) {
        length = kMaxServerTextLength;
        // Not inside a UTF-8 sequence: back to the byte that starts it.
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xc0) == 0x80) {
            --length;
        }
    }
    std::string out(text.substr(0, length));
    for (char& c : out) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            c = ' ';
        }
    }
    if (cut) {
        out += "...";
    }
    return out;
}

OAuthAuthorizationError OAuthAuthorizationError::tokenRequestFailed(
    std::int64_t statusCode, std::optional<std::string> oauthError) {
    std::string text = "Token request failed with status " + std::to_string(statusCode);
    if (oauthError) {
        oauthError = serverText(*oauthError);
    }
    if (oauthError && !oauthError->empty()) {
        text += " (oauth_error: " + *oauthError + ")";
    }
    OAuthAuthorizationError error(Case::tokenRequestFailed, std::move(text));
    error.statusCode_ = statusCode;
    error.oauthError_ = std::move(oauthError);
    return error;
}

OAuthAuthorizationError OAuthAuthorizationError::invalidResourceURI(std::string text) {
    OAuthAuthorizationError error(Case::invalidResourceURI, "Invalid resource URI: " + serverText(text));
    error.first_ = std::move(text);
    return error;
}

OAuthAuthorizationError OAuthAuthorizationError::invalidClientIDMetadataURL(std::string text) {
    OAuthAuthorizationError error(
        Case::invalidClientIDMetadataURL,
        "Client ID metadata document URL must use https and include a path: " + text);
    error.first_ = std::move(text);
    return error;
}

OAuthAuthorizationError OAuthAuthorizationError::protectedResourceMismatch(std::string expected,
                                                                           std::string actual) {
    OAuthAuthorizationError error(
        Case::protectedResourceMismatch,
        "Protected resource metadata resource mismatch. Expected " + expected + ", got " +
            serverText(actual));
    error.first_ = std::move(expected);
    error.second_ = std::move(actual);
    return error;
}

OAuthAuthorizationError OAuthAuthorizationError::cimdNotSupported(std::string clientID) {
    OAuthAuthorizationError error(
        Case::cimdNotSupported,
        "Authorization server does not support Client ID Metadata Documents; configure "
        "pre-registered credentials or ensure the server advertises "
        "client_id_metadata_document_supported: " +
            clientID);
    error.first_ = std::move(clientID);
    return error;
}

OAuthAuthorizationError OAuthAuthorizationError::privateIPAddressBlocked(std::string context,
                                                                         std::string url) {
    // The host is judged from its address literal; names are never looked up, so the text does
    // not claim a resolution.
    OAuthAuthorizationError error(Case::privateIPAddressBlocked,
                                  context +
                                      " uses a private or reserved IP address which is blocked "
                                      "for SSRF protection: " +
                                      url);
    error.first_ = std::move(context);
    error.second_ = std::move(url);
    return error;
}

OAuthAuthorizationError OAuthAuthorizationError::insecureOAuthEndpoint(std::string context,
                                                                       std::string url) {
    OAuthAuthorizationError error(Case::insecureOAuthEndpoint,
                                  context + " must use https or loopback http: " + url);
    error.first_ = std::move(context);
    error.second_ = std::move(url);
    return error;
}

OAuthAuthorizationError OAuthAuthorizationError::insecureAuthorizationServerEndpoint(
    std::string context, std::string url) {
    OAuthAuthorizationError error(Case::insecureAuthorizationServerEndpoint,
                                  context + " must use https: " + url);
    error.first_ = std::move(context);
    error.second_ = std::move(url);
    return error;
}

OAuthAuthorizationError OAuthAuthorizationError::invalidRedirectURI(std::string text) {
    OAuthAuthorizationError error(
        Case::invalidRedirectURI,
        "Redirect URI must use https or loopback http and must not include fragments: " + text);
    error.first_ = std::move(text);
    return error;
}

OAuthAuthorizationError OAuthAuthorizationError::authorizationRequestFailed(
    std::int64_t statusCode) {
    OAuthAuthorizationError error(
        Case::authorizationRequestFailed,
        "Authorization request failed with status " + std::to_string(statusCode));
    error.statusCode_ = statusCode;
    return error;
}

OAuthAuthorizationError OAuthAuthorizationError::authorizationResponseRedirectMismatch(
    std::string expected, std::string actual) {
    OAuthAuthorizationError error(
        Case::authorizationResponseRedirectMismatch,
        "Authorization response redirect URI mismatch. Expected " + expected + ", got " +
            serverText(actual));
    error.first_ = std::move(expected);
    error.second_ = std::move(actual);
    return error;
}

OAuthAuthorizationError OAuthAuthorizationError::authorizationResponseStateMismatch(
    std::string expected, std::string actual) {
    OAuthAuthorizationError error(
        Case::authorizationResponseStateMismatch,
        "Authorization response state mismatch. Expected " + expected + ", got " +
            serverText(actual));
    error.first_ = std::move(expected);
    error.second_ = std::move(actual);
    return error;
}

OAuthAuthorizationError OAuthAuthorizationError::pkceS256NotSupported(
    std::vector<std::string> advertisedMethods) {
    OAuthAuthorizationError error(Case::pkceS256NotSupported,
                                  "Authorization server metadata must support PKCE S256 "
                                  "(advertised: " +
                                      serverText(joined(advertisedMethods, ", ")) + ")");
    error.methods_ = std::move(advertisedMethods);
    return error;
}

OAuthAuthorizationError OAuthAuthorizationError::authorizationServerIssuerMismatch(
    std::string expected, std::string actual) {
    OAuthAuthorizationError error(
        Case::authorizationServerIssuerMismatch,
        "Authorization server issuer mismatch. Expected " + expected + ", got " +
            serverText(actual));
    error.first_ = std::move(expected);
    error.second_ = std::move(actual);
    return error;
}

OAuthAuthorizationError OAuthAuthorizationError::authorizationResponseError(
    std::string oauthError, std::optional<std::string> errorDescription) {
    oauthError = serverText(oauthError);
    std::string text = "The authorization server refused the authorization request (oauth_error: " +
                       oauthError + ")";
    if (errorDescription && !errorDescription->empty()) {
        text += ": " + serverText(*errorDescription);
    }
    OAuthAuthorizationError error(Case::authorizationResponseError, std::move(text));
    error.oauthError_ = std::move(oauthError);
    return error;
}

OAuthAuthorizationError OAuthAuthorizationError::clientCredentialsBoundToAnotherServer(
    std::string boundServer, std::string otherServer) {
    OAuthAuthorizationError error(
        Case::clientCredentialsBoundToAnotherServer,
        "The client credentials belong to the authorization server " + boundServer +
            " and are not sent to " + otherServer +
            "; configure that server as the authorization server, or credentials for it");
    error.first_ = std::move(boundServer);
    error.second_ = std::move(otherServer);
    return error;
}

OAuthAuthorizationError OAuthAuthorizationError::make(Case errorCase) {
    const char* text = "";
    switch (errorCase) {
        case Case::missingAuthorizationServer:
            text = "No authorization server was found in protected resource metadata";
            break;
        case Case::metadataDiscoveryFailed:
            text = "Failed to discover protected resource metadata";
            break;
        case Case::authorizationServerMetadataDiscoveryFailed:
            text = "Failed to discover authorization server metadata";
            break;
        case Case::tokenEndpointMissing:
            text = "Authorization server metadata is missing token_endpoint";
            break;
        case Case::authorizationEndpointMissing:
            text = "Authorization server metadata is missing authorization_endpoint";
            break;
        case Case::tokenResponseInvalid:
            text = "Token response is invalid";
            break;
        case Case::registrationInformationRequired:
            text = "No supported client registration mechanism was available; provide "
                   "pre-registered client credentials";
            break;
        case Case::authorizationResponseMissingRedirectLocation:
            text = "Authorization response is missing redirect location";
            break;
        case Case::authorizationResponseMissingState:
            text = "Authorization response is missing state";
            break;
        case Case::authorizationResponseMissingCode:
            text = "Authorization response is missing the authorization code";
            break;
        case Case::pkceCodeChallengeMethodsMissing:
            text = "Authorization server metadata must include code_challenge_methods_supported "
                   "for PKCE";
            break;
        case Case::pkceS256Unavailable:
            text = "PKCE S256 code challenge generation is unavailable on this platform";
            break;
        case Case::authorizationResponseMissingIssuer:
            text = "Authorization response is missing the iss parameter that the authorization "
                   "server announces";
            break;
        default:
            // A case with a payload has its own maker; asked here, it carries an empty one.
            switch (errorCase) {
                case Case::tokenRequestFailed:
                    return tokenRequestFailed(0, std::nullopt);
                case Case::authorizationRequestFailed:
                    return authorizationRequestFailed(0);
                case Case::pkceS256NotSupported:
                    return pkceS256NotSupported({});
                case Case::invalidResourceURI:
                    return invalidResourceURI({});
                case Case::invalidClientIDMetadataURL:
                    return invalidClientIDMetadataURL({});
                case Case::cimdNotSupported:
                    return cimdNotSupported({});
                case Case::invalidRedirectURI:
                    return invalidRedirectURI({});
                case Case::protectedResourceMismatch:
                    return protectedResourceMismatch({}, {});
                case Case::privateIPAddressBlocked:
                    return privateIPAddressBlocked({}, {});
                case Case::insecureOAuthEndpoint:
                    return insecureOAuthEndpoint({}, {});
                case Case::insecureAuthorizationServerEndpoint:
                    return insecureAuthorizationServerEndpoint({}, {});
                case Case::authorizationResponseRedirectMismatch:
                    return authorizationResponseRedirectMismatch({}, {});
                case Case::authorizationResponseStateMismatch:
                    return authorizationResponseStateMismatch({}, {});
                case Case::authorizationResponseError:
                    return authorizationResponseError({}, std::nullopt);
                case Case::clientCredentialsBoundToAnotherServer:
                    return clientCredentialsBoundToAnotherServer({}, {});
                default:
                    return authorizationServerIssuerMismatch({}, {});
            }
    }
    return OAuthAuthorizationError(errorCase, text);
}

}  // namespace mcp
