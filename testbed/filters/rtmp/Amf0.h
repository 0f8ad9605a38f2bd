// AMF0 values: what RTMP command and data messages are made of. The decoder
// takes any bytes: every length is checked against what remains, nesting
// and the number of values are capped, and a marker it does not know fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace rtmp
{
namespace amf0
{

enum class Type
{
    Number,
    Boolean,
    String,       // a string or a long string; the encoder picks by length
    Object,
    Null,
    Undefined,
    EcmaArray,
    StrictArray,
    Date,
};

struct Property;

struct Value
{
    Type type = Type::Null;
    double number = 0;                  // Number, Date (ms since 1970)
    bool boolean = false;
    std::string string;
    std::vector<Property> properties;   // Object, EcmaArray
    std::vector<Value> items;           // StrictArray

    // The property of an Object or EcmaArray by name, or null.
    const Value* Find(const std::string& name) const;
};

struct Property
{
    std::string name;
    Value value;
};

// Deeper nesting than this fails to decode.
constexpr int kMaxDepth = 32;
// More values than this in one decode fail: a message of a megabyte of null
// markers would otherwise cost a hundred times its size.
constexpr size_t kMaxValues = 4096;

// Every value in [pb, pb + cb); false (with a short reason) on anything
// malformed or cut short.
bool DecodeAll(const uint8_t* pb, size_t cb, std::vector<Value>& values, std::string& error);

void Encode(const Value& value, std::vector<uint8_t>& out);

Value Number(double number);
Value Boolean(bool boolean);
Value String(std::string string);
Value Null();
Value Object(std::vector<Property> properties);
Value EcmaArray(std::vector<Property> properties);

} // namespace amf0
} // namespace rtmp
