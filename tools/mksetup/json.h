// JSON for --json: objects and arrays written as they are built, two
// spaces a level, strings escaped (and bytes that are not UTF-8 shown as
// U+FFFD, so that what an installer holds cannot break the document).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mksetup {

class Json {
public:
    Json& Object() { return Open('{'); }
    Json& Array() { return Open('['); }
    Json& End();
    Json& Key(const char* key);  // in an object, before each value
    Json& String(const std::string& value);
    Json& Number(uint64_t value);
    Json& Signed(int64_t value);
    Json& Real(double value);
    Json& Bool(bool value);
    Json& Null();
    // The document, with a line break; on stdout.
    void Print() const;

private:
    Json& Open(char bracket);
    void Value(const std::string& text);

    std::string out_;
    std::vector<char> open_;  // the closing brackets owed
    bool first_ = true, keyed_ = false;
};

// A JSON string literal of s.
std::string JsonString(const std::string& s);

}  // namespace mksetup
