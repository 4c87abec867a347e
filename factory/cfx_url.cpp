#include "cfx_url.h"

#include <cctype>
#include <cstdlib>

namespace factory {
namespace {

constexpr int kAmqpPort = 5672;
constexpr int kAmqpsPort = 5671;

// %XX sequences decoded; false on a broken one.
bool percentDecode(const std::string &in, std::string *out) {
    out->clear();
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            *out += in[i];
            continue;
        }
        if (i + 2 >= in.size() || !std::isxdigit(static_cast<unsigned char>(in[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(in[i + 2]))) {
            return false;
        }
        *out += static_cast<char>(std::strtol(in.substr(i + 1, 2).c_str(), nullptr, 16));
        i += 2;
    }
    return true;
}

bool parsePort(const std::string &text, int *port) {
    if (text.empty() || text.size() > 5 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    *port = std::atoi(text.c_str());
    return *port > 0 && *port < 65536;
}

bool splitHostPort(const std::string &text, BrokerUrl *url) {
    size_t colon;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos) {
            return false;
        }
        url->host = text.substr(0, close + 1);
        colon = close + 1 < text.size() ? close + 1 : std::string::npos;
        if (colon != std::string::npos && text[colon] != ':') {
            return false;
        }
    } else {
        colon = text.find(':');
        url->host = text.substr(0, colon);
    }
    if (url->host.empty() || url->host == "[]") {
        return false;
    }
    return colon == std::string::npos || parsePort(text.substr(colon + 1), &url->port);
}

bool splitUserInfo(const std::string &text, BrokerUrl *url) {
    size_t colon = text.find(':');
    return percentDecode(text.substr(0, colon), &url->user) &&
           (colon == std::string::npos || percentDecode(text.substr(colon + 1), &url->password));
}

// Letters, then letters, digits, '+', '-' or '.': what may stand before "://".
bool isScheme(const std::string &text) {
    if (text.empty() || !std::isalpha(static_cast<unsigned char>(text[0]))) {
        return false;
    }
    for (char c : text) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') {
            return false;
        }
    }
    return true;
}

// The URL as given, for error messages that end up in logs and on the
// operator's screen: everything after its scheme up to its last '@' (where
// a user and password would be, whatever characters the password has) is
// replaced; without a scheme, everything up to that '@'.
std::string withoutUserInfo(const std::string &text) {
    size_t scheme = text.find("://");
    size_t start = scheme != std::string::npos && isScheme(text.substr(0, scheme)) ? scheme + 3 : 0;
    size_t at = text.rfind('@');
    if (at == std::string::npos || at < start) {
        return text;
    }
    return text.substr(0, start) + "****" + text.substr(at);
}

} // namespace

std::string BrokerUrl::shown() const {
    std::string text = tls ? "amqps://" : "amqp://";
    if (!user.empty()) {
        text += user + "@";
    }
    return text + hostPort() + address;
}

bool parseBrokerUrl(const std::string &text, BrokerUrl *url, std::string *error) {
    *url = BrokerUrl();
    size_t rest;
    if (text.rfind("amqp://", 0) == 0) {
        rest = 7;
    } else if (text.rfind("amqps://", 0) == 0) {
        url->tls = true;
        rest = 8;
    } else {
        *error = "--cfx: not an amqp:// or amqps:// URL: " + withoutUserInfo(text);
        return false;
    }
    url->port = url->tls ? kAmqpsPort : kAmqpPort;
    size_t slash = text.find('/', rest);
    std::string authority = text.substr(rest, slash == std::string::npos ? slash : slash - rest);
    size_t at = authority.rfind('@');
    bool ok = true;
    if (at != std::string::npos) {
        ok = splitUserInfo(authority.substr(0, at), url);
        authority = authority.substr(at + 1);
    }
    if (!ok || !splitHostPort(authority, url)) {
        *error = "--cfx: no valid host, port or user in " + withoutUserInfo(text);
        return false;
    }
    // The address keeps its leading slash: RabbitMQ's "/queue/NAME" needs it.
    if (slash == std::string::npos || slash + 1 == text.size() ||
        !percentDecode(text.substr(slash), &url->address)) {
        *error = "--cfx: the URL names no target address after the host: " + withoutUserInfo(text);
        return false;
    }
    return true;
}

} // namespace factory
