#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace velk {

// A request as the web server hands it over: the method, the path without its query, the
// query's and a posted form's fields (decoded), the cookies, the caller's address and whether it
// came over TLS.
struct WebRequest {
    std::string method;
    std::string path;
    std::multimap<std::string, std::string> query;  // the URL's and a posted form's fields
    std::map<std::string, std::string> cookies;
    std::string peer;  // the caller's IP address as text
    bool tls = false;

    // The first value of a field; empty when absent.
    std::string Field(const std::string& name) const;
    bool Has(const std::string& name) const { return query.count(name) > 0; }
};

// The answer: the status, its headers (Content-Type always among them) and its body.
struct WebResponse {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    void Header(const std::string& name, const std::string& value) {
        headers.emplace_back(name, value);
    }
    std::string HeaderValue(const std::string& name) const;
};

// Decodes a URL's %-escapes and '+' (as a blank) of a form field; a '%' not followed by two
// hexadecimal digits stays as it is.
std::string UrlDecode(const std::string& text);
std::string UrlEncode(const std::string& text);
// Reads "a=1&b=2" (a query or a form body) into the fields.
void ReadFormFields(const std::string& text, std::multimap<std::string, std::string>& fields);
// Reads a Cookie header's "name=value; other=value" pairs.
std::map<std::string, std::string> ReadCookies(const std::string& header);

}  // namespace velk
