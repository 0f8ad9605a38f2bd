#include "Amf0.h"

#include "ByteOrder.h"

#include <cstring>

namespace rtmp
{
namespace amf0
{

namespace
{

enum Marker : uint8_t
{
    kNumber = 0x00,
    kBoolean = 0x01,
    kString = 0x02,
    kObject = 0x03,
    kNull = 0x05,
    kUndefined = 0x06,
    kEcmaArray = 0x08,
    kObjectEnd = 0x09,
    kStrictArray = 0x0A,
    kDate = 0x0B,
    kLongString = 0x0C,
};

class Decoder
{
public:
    Decoder(const uint8_t* pb, size_t cb) : m_p(pb), m_end(pb + cb) {}

    bool AtEnd() const { return m_p == m_end; }
    const std::string& Error() const { return m_error; }

    bool DecodeValue(Value& value, int depth)
    {
        if (depth > kMaxDepth)
            return Fail("AMF0 values nested too deeply");
        if (++m_nValues > kMaxValues)
            return Fail("too many AMF0 values in one message");
        uint8_t marker;
        if (!ReadByte(marker))
            return false;
        switch (marker)
        {
        case kNumber:
            value.type = Type::Number;
            return ReadDouble(value.number);
        case kBoolean:
            value.type = Type::Boolean;
            return ReadBoolean(value.boolean);
        case kString:
            value.type = Type::String;
            return ReadString(2, value.string);
        case kLongString:
            value.type = Type::String;
            return ReadString(4, value.string);
        case kObject:
            value.type = Type::Object;
            return ReadProperties(value.properties, depth);
        case kEcmaArray:
            value.type = Type::EcmaArray;
            // The count is only a hint; the end marker closes the array.
            return Skip(4) && ReadProperties(value.properties, depth);
        case kStrictArray:
            value.type = Type::StrictArray;
            return ReadItems(value.items, depth);
        case kNull:
            value.type = Type::Null;
            return true;
        case kUndefined:
            value.type = Type::Undefined;
            return true;
        case kDate:
            value.type = Type::Date;
            return ReadDouble(value.number) && Skip(2); // the time zone is reserved
        case kObjectEnd:
            return Fail("AMF0 object end outside an object");
        default:
            return Fail("unknown AMF0 marker");
        }
    }

private:
    bool Fail(const char* reason)
    {
        if (m_error.empty())
            m_error = reason;
        return false;
    }

    size_t Remaining() const { return static_cast<size_t>(m_end - m_p); }

    bool Need(size_t cb)
    {
        return cb <= Remaining() || Fail("AMF0 value cut short");
    }

    bool Skip(size_t cb)
    {
        if (!Need(cb))
            return false;
        m_p += cb;
        return true;
    }

    bool ReadByte(uint8_t& byte)
    {
        if (!Need(1))
            return false;
        byte = *m_p++;
        return true;
    }

    bool ReadBoolean(bool& boolean)
    {
        uint8_t byte;
        if (!ReadByte(byte))
            return false;
        boolean = byte != 0;
        return true;
    }

    bool ReadU32(uint32_t& value)
    {
        if (!Need(4))
            return false;
        value = GetBE(m_p, 4);
        m_p += 4;
        return true;
    }

    bool ReadDouble(double& number)
    {
        if (!Need(8))
            return false;
        uint64_t bits = (static_cast<uint64_t>(GetBE(m_p, 4)) << 32) | GetBE(m_p + 4, 4);
        std::memcpy(&number, &bits, sizeof number);
        m_p += 8;
        return true;
    }

    // A UTF-8 string after its 2- or 4-byte length.
    bool ReadString(int cbLength, std::string& text)
    {
        if (!Need(cbLength))
            return false;
        const size_t cb = GetBE(m_p, cbLength);
        m_p += cbLength;
        if (!Need(cb))
            return false;
        text.assign(reinterpret_cast<const char*>(m_p), cb);
        m_p += cb;
        return true;
    }

    // name/value pairs up to an empty name followed by the object end marker.
    bool ReadProperties(std::vector<Property>& properties, int depth)
    {
        for (;;)
        {
            std::string name;
            if (!ReadString(2, name))
                return false;
            if (name.empty() && Remaining() > 0 && *m_p == kObjectEnd)
            {
                ++m_p;
                return true;
            }
            properties.push_back(Property{std::move(name), Value()});
            if (!DecodeValue(properties.back().value, depth + 1))
                return false;
        }
    }

    bool ReadItems(std::vector<Value>& items, int depth)
    {
        uint32_t count;
        if (!ReadU32(count))
            return false;
        // Every value takes a byte at least: a larger count is a lie.
        if (count > Remaining())
            return Fail("AMF0 strict array longer than its message");
        if (count > kMaxValues - m_nValues)
            return Fail("too many AMF0 values in one message");
        items.resize(count);
        for (Value& item : items)
            if (!DecodeValue(item, depth + 1))
                return false;
        return true;
    }

    const uint8_t* m_p;
    const uint8_t* m_end;
    size_t m_nValues = 0;
    std::string m_error;
};

void EncodeString(const std::string& text, std::vector<uint8_t>& out)
{
    out.insert(out.end(), text.begin(), text.end());
}

void EncodeName(const std::string& name, std::vector<uint8_t>& out)
{
    // Property names longer than 65535 bytes cannot be written; cut them.
    const size_t cb = name.size() < 0xFFFF ? name.size() : 0xFFFF;
    PutBE(out, cb, 2);
    out.insert(out.end(), name.begin(), name.begin() + cb);
}

void EncodeProperties(const std::vector<Property>& properties, std::vector<uint8_t>& out)
{
    for (const Property& property : properties)
    {
        EncodeName(property.name, out);
        Encode(property.value, out);
    }
    PutBE(out, 0, 2);
    out.push_back(kObjectEnd);
}

void EncodeDouble(double number, std::vector<uint8_t>& out)
{
    uint64_t bits;
    std::memcpy(&bits, &number, sizeof bits);
    PutBE(out, bits, 8);
}

} // namespace

const Value* Value::Find(const std::string& name) const
{
    for (const Property& property : properties)
        if (property.name == name)
            return &property.value;
    return nullptr;
}

bool DecodeAll(const uint8_t* pb, size_t cb, std::vector<Value>& values, std::string& error)
{
    Decoder decoder(pb, cb);
    while (!decoder.AtEnd())
    {
        values.emplace_back();
        if (!decoder.DecodeValue(values.back(), 0))
        {
            error = decoder.Error();
            return false;
        }
    }
    return true;
}

void Encode(const Value& value, std::vector<uint8_t>& out)
{
    switch (value.type)
    {
    case Type::Number:
        out.push_back(kNumber);
        EncodeDouble(value.number, out);
        break;
    case Type::Boolean:
        out.push_back(kBoolean);
        out.push_back(value.boolean ? 1 : 0);
        break;
    case Type::String:
        if (value.string.size() <= 0xFFFF)
        {
            out.push_back(kString);
            PutBE(out, value.string.size(), 2);
        }
        else
        {
            out.push_back(kLongString);
            PutBE(out, value.string.size(), 4);
        }
        EncodeString(value.string, out);
        break;
    case Type::Object:
        out.push_back(kObject);
        EncodeProperties(value.properties, out);
        break;
    case Type::Null:
        out.push_back(kNull);
        break;
    case Type::Undefined:
        out.push_back(kUndefined);
        break;
    case Type::EcmaArray:
        out.push_back(kEcmaArray);
        PutBE(out, value.properties.size(), 4);
        EncodeProperties(value.properties, out);
        break;
    case Type::StrictArray:
        out.push_back(kStrictArray);
        PutBE(out, value.items.size(), 4);
        for (const Value& item : value.items)
            Encode(item, out);
        break;
    case Type::Date:
        out.push_back(kDate);
        EncodeDouble(value.number, out);
        PutBE(out, 0, 2);
        break;
    }
}

Value Number(double number)
{
    Value value;
    value.type = Type::Number;
    value.number = number;
    return value;
}

Value Boolean(bool boolean)
{
    Value value;
    value.type = Type::Boolean;
    value.boolean = boolean;
    return value;
}

Value String(std::string string)
{
    Value value;
    value.type = Type::String;
    value.string = std::move(string);
    return value;
}

Value Null()
{
    return Value();
}

Value Object(std::vector<Property> properties)
{
    Value value;
    value.type = Type::Object;
    value.properties = std::move(properties);
    return value;
}

Value EcmaArray(std::vector<Property> properties)
{
    Value value;
    value.type = Type::EcmaArray;
    value.properties = std::move(properties);
    return value;
}

} // namespace amf0
} // namespace rtmp
