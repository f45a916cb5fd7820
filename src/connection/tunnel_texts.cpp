#include "connection/tunnel_texts.h"

namespace kro::connection {

const char* http_status_text(long status) {
    if (status < 400) return "Unknown HTTP server error";
    switch (status) {
        case 400: return "The request could not be processed by the server due to invalid syntax.";
        case 401: return "The requested resource requires user authentication.";
        case 402: return "Not implemented in the HTTP protocol.";
        case 403: return "The server understood the request, but will not fulfill it.";
        case 404: return "The server has not found anything matching the requested URI.";
        case 405: return "The HTTP verb used is not allowed.";
        case 406: return "No responses acceptable to the client were found.";
        case 407: return "Proxy authentication required.";
        case 408: return "The server timed out waiting for the request.";
        case 409: return "The request could not be completed due to a conflict with the current state of the resource.";
        case 410: return "The requested resource is no longer available at the server, and no forwarding address is known.";
        case 411: return "The server will not accept the request without a defined content length.";
        case 412: return "The precondition given in one or more of the request header fields evaluated to false.";
        case 413: return "The server will not process the request because the request entity is larg.";
        case 414: return "The server will not service the request because the request URI is longer than the server can interpret.";
        case 415: return "The server will not service the request because the entity of the request is in an unsupported format.";
        case 449: return "The request should be retried after doing the appropriate action.";
        case 500: return "The server encountered an unexpected condition that prevented it from fulfilling the request.";
        case 501: return "The server does not support the functionality required to fulfill the request.";
        case 502: return "The server, while acting as a gateway or proxy, received an invalid response from the upstream server.";
        case 503: return "The service is temporarily overloaded.";
        case 505: return "The server does not support, the HTTP protocol version that was used in the request message.";
        default: return nullptr;
    }
}

}  // namespace kro::connection
