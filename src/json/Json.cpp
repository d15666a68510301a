#include "json/Json.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>

namespace {

constexpr char kLineFeed = 10;
constexpr char kSpace = 32;
constexpr uint32_t kMaxNumberLength = 63;

// Depth of the containers being parsed on this thread; a document is parsed
// by one thread, inside the root's constructor.
thread_local int t_depth = 0;

class DepthGuard {
public:
    DepthGuard() { ++t_depth; }
    ~DepthGuard() { --t_depth; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;
    bool TooDeep() const { return t_depth > JSON_MAX_DEPTH; }
};

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

}  // namespace

JSONStream::JSONStream() : m_cNextChar(0) {}

JSONStream::~JSONStream() = default;

char JSONStream::ReadNextChar()
{
    if (m_cNextChar != 0) {
        const char c = static_cast<char>(m_cNextChar);
        m_cNextChar = 0;
        return c;
    }
    return ReadChar();
}

void JSONStream::SetNextChar(char c)
{
    m_cNextChar = static_cast<signed char>(c);
}

void JSONStream::Clear()
{
    m_cNextChar = 0;
}

JSONFile::JSONFile(const std::string& path) : m_pBuffer(nullptr), m_nSize(0), m_nPosition(0)
{
    LoadFile(path);
}

JSONFile::~JSONFile()
{
    delete[] m_pBuffer;
}

bool JSONFile::LoadFile(const std::string& path)
{
    delete[] m_pBuffer;
    m_pBuffer = nullptr;
    m_nSize = 0;
    m_nPosition = 0;
    FILE* file = fopen(path.c_str(), "r");
    if (file == nullptr)
        return false;
    bool loaded = false;
    if (fseek(file, 0, SEEK_END) == 0) {
        const long size = ftell(file);
        // A folder or a device reports no usable size; a file of 4 GiB or more does not fit the position.
        if (size > 0 && static_cast<unsigned long>(size) < UINT32_MAX && fseek(file, 0, SEEK_SET) == 0) {
            auto* buffer = new (std::nothrow) uint8_t[static_cast<size_t>(size)];
            if (buffer != nullptr && fread(buffer, 1, static_cast<size_t>(size), file) == static_cast<size_t>(size)) {
                m_pBuffer = buffer;
                m_nSize = static_cast<uint32_t>(size);
                loaded = true;
            } else {
                delete[] buffer;
            }
        }
    }
    fclose(file);
    return loaded;
}

char JSONFile::ReadChar()
{
    if (m_nPosition >= m_nSize)
        return 0;
    return static_cast<char>(m_pBuffer[m_nPosition++]);
}

JSONNode::JSONNode(JSONStream* stream) : m_pStream(stream), m_nType(JSON_TYPE_NONE) {}

JSONNode::~JSONNode() = default;

int JSONNode::GetType() const
{
    return m_nType;
}

char JSONNode::ReadNextChar(int skipWhitespace)
{
    if (m_pStream == nullptr)
        return 0;
    char c = m_pStream->ReadNextChar();
    while (skipWhitespace != 0 && (c == kLineFeed || c == kSpace))
        c = m_pStream->ReadNextChar();
    return c;
}

void JSONNode::SetNextChar(char c)
{
    if (m_pStream != nullptr)
        m_pStream->SetNextChar(c);
}

JSONNode* JSONNode::ReadValueNode()
{
    const char c = ReadNextChar(1);
    SetNextChar(c);
    switch (c) {
    case '{':
        return new JSONObject(m_pStream);
    case '[':
        return new JSONArray(m_pStream);
    case 't':
        return new JSONTrue(m_pStream);
    case 'f':
        return new JSONFalse(m_pStream);
    case 'n':
        return new JSONNull(m_pStream);
    case '"':
        return new JSONString(m_pStream);
    default:
        return new JSONNumber(m_pStream);
    }
}

std::string StreamReadString(JSONNode* node)
{
    std::string text;
    if (node->ReadNextChar(1) != '"')
        return text;
    for (;;) {
        const char c = node->ReadNextChar(0);
        // The data may end inside the string; the text read so far is kept.
        if (c == '"' || c == 0)
            return text;
        text.push_back(c);
        if (c == '\\') {
            const char escaped = node->ReadNextChar(0);
            if (escaped == 0)
                return text;
            text.push_back(escaped);
        }
    }
}

JSONObject::JSONObject(JSONStream* stream) : JSONNode(stream)
{
    m_nType = JSON_TYPE_OBJECT;
    Parse();
}

JSONObject::~JSONObject()
{
    for (auto& entry : m_mapValues)
        delete entry.second;
}

void JSONObject::Parse()
{
    DepthGuard depth;
    if (depth.TooDeep())
        return;
    const char open = ReadNextChar(0);
    if (open != '{') {
        SetNextChar(open);
        return;
    }
    for (;;) {
        const char c = ReadNextChar(1);
        if (c == '}')
            return;
        SetNextChar(c);
        const std::string key = StreamReadString(this);
        if (key.empty())
            return;
        if (ReadNextChar(0) != ':')
            return;
        JSONNode* value = ReadValueNode();
        JSONNode*& slot = m_mapValues[key];
        delete slot;
        slot = value;
        if (ReadNextChar(0) != ',')
            return;
    }
}

JSONNode* JSONObject::GetValue(const std::string& key) const
{
    const auto found = m_mapValues.find(key);
    return found == m_mapValues.end() ? nullptr : found->second;
}

JSONArray::JSONArray(JSONStream* stream) : JSONNode(stream)
{
    m_nType = JSON_TYPE_ARRAY;
    Parse();
}

JSONArray::~JSONArray()
{
    for (JSONNode* value : m_vecValues)
        delete value;
}

void JSONArray::Parse()
{
    DepthGuard depth;
    if (depth.TooDeep())
        return;
    const char open = ReadNextChar(0);
    if (open != '[') {
        SetNextChar(open);
        return;
    }
    for (;;) {
        const char c = ReadNextChar(1);
        if (c == ']')
            return;
        SetNextChar(c);
        m_vecValues.push_back(ReadValueNode());
        if (ReadNextChar(1) != ',')
            return;
    }
}

unsigned int JSONArray::GetCount() const
{
    return static_cast<unsigned int>(m_vecValues.size());
}

JSONNode* JSONArray::operator[](unsigned int index)
{
    return index < m_vecValues.size() ? m_vecValues[index] : nullptr;
}

const JSONNode* JSONArray::operator[](unsigned int index) const
{
    return index < m_vecValues.size() ? m_vecValues[index] : nullptr;
}

JSONString::JSONString(JSONStream* stream) : JSONNode(stream)
{
    m_nType = JSON_TYPE_STRING;
    m_strValue = StreamReadString(this);
}

JSONString::~JSONString() = default;

std::string JSONString::GetValue() const
{
    return m_strValue;
}

JSONNumber::JSONNumber(JSONStream* stream) : JSONNode(stream), m_szNumber(), m_nLength(0)
{
    m_nType = JSON_TYPE_NUMBER;
    Parse();
}

JSONNumber::~JSONNumber() = default;

void JSONNumber::PushBack(char c)
{
    if (m_nLength < kMaxNumberLength)
        m_szNumber[m_nLength++] = c;
}

void JSONNumber::Parse()
{
    char c = ReadNextChar(0);
    if (c != '-' && !IsDigit(c)) {
        SetNextChar(c);
        return;
    }
    PushBack(c);
    bool seenPoint = false;
    bool seenExponent = false;
    for (;;) {
        c = ReadNextChar(0);
        if (IsDigit(c)) {
            PushBack(c);
        } else if (c == '.' && !seenPoint) {
            seenPoint = true;
            PushBack(c);
        } else if ((c == 'e' || c == 'E') && !seenExponent) {
            seenExponent = true;
            PushBack(c);
        } else {
            SetNextChar(c);
            return;
        }
    }
}

std::string JSONNumber::GetValue() const
{
    return std::string(m_szNumber, m_nLength);
}

JSONDefinedToken::JSONDefinedToken(JSONStream* stream, const std::string& token)
    : JSONNode(stream), m_strToken(token)
{
}

JSONDefinedToken::~JSONDefinedToken() = default;

void JSONDefinedToken::Parse()
{
    for (const char expected : m_strToken) {
        const char c = ReadNextChar(0);
        if (c != expected) {
            SetNextChar(c);
            return;
        }
    }
}

JSONTrue::JSONTrue(JSONStream* stream) : JSONDefinedToken(stream, "true")
{
    m_nType = JSON_TYPE_TRUE;
    Parse();
}

JSONTrue::~JSONTrue() = default;

JSONFalse::JSONFalse(JSONStream* stream) : JSONDefinedToken(stream, "false")
{
    m_nType = JSON_TYPE_FALSE;
    Parse();
}

JSONFalse::~JSONFalse() = default;

JSONNull::JSONNull(JSONStream* stream) : JSONDefinedToken(stream, "null")
{
    m_nType = JSON_TYPE_NULL;
    Parse();
}

JSONNull::~JSONNull() = default;

std::string JSONNodeToString(const JSONNode* node, const std::string& defaultValue)
{
    if (node == nullptr || node->GetType() != JSON_TYPE_STRING)
        return defaultValue;
    return static_cast<const JSONString*>(node)->GetValue();
}

int JSONNodeToInt(const JSONNode* node, int defaultValue)
{
    if (node == nullptr || node->GetType() != JSON_TYPE_NUMBER)
        return defaultValue;
    return atoi(static_cast<const JSONNumber*>(node)->GetValue().c_str());
}

double JSONNodeToDouble(const JSONNode* node, double defaultValue)
{
    if (node == nullptr || node->GetType() != JSON_TYPE_NUMBER)
        return defaultValue;
    return atof(static_cast<const JSONNumber*>(node)->GetValue().c_str());
}

uint32_t JSONNodeToTime32(const JSONNode* node, uint32_t defaultValue)
{
    if (node == nullptr || node->GetType() != JSON_TYPE_NUMBER)
        return defaultValue;
    std::string text = static_cast<const JSONNumber*>(node)->GetValue();
    if (text.size() >= 3)
        text.resize(text.size() - 3);
    return static_cast<uint32_t>(strtoul(text.c_str(), nullptr, 0));
}
