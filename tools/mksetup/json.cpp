#include "tools/mksetup/json.h"

#include "tools/mksetup/code_page.h"

#include <cstdio>

namespace mksetup {

std::string JsonString(const std::string& s)
{
    std::string out = "\"";
    for (size_t i = 0; i < s.size();) {
        unsigned char c = s[i];
        unsigned point;
        size_t n = Utf8Sequence(s, i, &point);
        if (n == 0) {
            out += "\\ufffd", ++i;
        } else if (c == '"' || c == '\\') {
            out += '\\', out += (char)c, ++i;
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped, ++i;
        } else {
            out.append(s, i, n), i += n;
        }
    }
    return out + "\"";
}

void Json::Value(const std::string& text)
{
    if (!keyed_) {
        if (!open_.empty())
            out_ += first_ ? "\n" : ",\n";
        out_.append(2 * open_.size(), ' ');
    }
    out_ += text;
    first_ = false, keyed_ = false;
}

Json& Json::Open(char bracket)
{
    Value(std::string(1, bracket));
    open_.push_back(bracket == '{' ? '}' : ']');
    first_ = true;
    return *this;
}

Json& Json::End()
{
    char closing = open_.back();
    open_.pop_back();
    if (!first_)
        out_ += "\n" + std::string(2 * open_.size(), ' ');
    out_ += closing;
    first_ = false;
    return *this;
}

Json& Json::Key(const char* key)
{
    Value(JsonString(key) + ": ");
    keyed_ = true;
    return *this;
}

Json& Json::String(const std::string& value)
{
    Value(JsonString(value));
    return *this;
}

Json& Json::Number(uint64_t value)
{
    Value(std::to_string(value));
    return *this;
}

Json& Json::Signed(int64_t value)
{
    Value(std::to_string(value));
    return *this;
}

Json& Json::Real(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.4f", value);
    Value(text);
    return *this;
}

Json& Json::Bool(bool value)
{
    Value(value ? "true" : "false");
    return *this;
}

Json& Json::Null()
{
    Value("null");
    return *this;
}

void Json::Print() const
{
    std::printf("%s\n", out_.c_str());
}

}  // namespace mksetup
