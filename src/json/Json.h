#pragma once

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "platform/Export.h"

// A small pull-style JSON reader: each node parses itself from the stream in
// its constructor, one character at a time with one character of push-back.
// Its grammar is narrower than standard JSON and it reports no errors: it
// stops where the input no longer fits and keeps what it has read.

enum {
    JSON_TYPE_OBJECT = 0,
    JSON_TYPE_ARRAY = 1,
    JSON_TYPE_STRING = 2,
    JSON_TYPE_NUMBER = 3,
    JSON_TYPE_TRUE = 4,
    JSON_TYPE_FALSE = 5,
    JSON_TYPE_NULL = 6,
    JSON_TYPE_NONE = 7,
};

// Objects and arrays nested deeper than this end the parse where they start.
constexpr int JSON_MAX_DEPTH = 512;

class VASQ_EXPORT JSONStream {
public:
    JSONStream();
    virtual ~JSONStream();
    // The next character of the data, or 0 at its end.
    virtual char ReadChar() = 0;

    char ReadNextChar();
    void SetNextChar(char c);
    void Clear();

protected:
    signed char m_cNextChar;  // 0 = nothing pushed back
};

class VASQ_EXPORT JSONFile : public JSONStream {
public:
    explicit JSONFile(const std::string& path);
    ~JSONFile() override;
    JSONFile(const JSONFile&) = delete;
    JSONFile& operator=(const JSONFile&) = delete;

    char ReadChar() override;
    // A file that cannot be opened, is empty or cannot be read whole leaves the stream empty.
    bool LoadFile(const std::string& path);

private:
    uint8_t* m_pBuffer;
    uint32_t m_nSize;
    uint32_t m_nPosition;
};

class VASQ_EXPORT JSONNode {
public:
    explicit JSONNode(JSONStream* stream);
    virtual ~JSONNode();
    JSONNode(const JSONNode&) = delete;
    JSONNode& operator=(const JSONNode&) = delete;

    int GetType() const;
    // Skipping white space skips line feeds and spaces only.
    char ReadNextChar(int skipWhitespace);
    void SetNextChar(char c);
    // The node that the next character starts; the caller owns it.
    JSONNode* ReadValueNode();

protected:
    JSONStream* m_pStream;
    int m_nType;
};

class VASQ_EXPORT JSONObject : public JSONNode {
public:
    explicit JSONObject(JSONStream* stream);
    ~JSONObject() override;
    JSONNode* GetValue(const std::string& key) const;

private:
    void Parse();
    std::map<std::string, JSONNode*> m_mapValues;
};

class VASQ_EXPORT JSONArray : public JSONNode {
public:
    explicit JSONArray(JSONStream* stream);
    ~JSONArray() override;
    unsigned int GetCount() const;
    JSONNode* operator[](unsigned int index);
    const JSONNode* operator[](unsigned int index) const;

private:
    void Parse();
    std::vector<JSONNode*> m_vecValues;
};

class VASQ_EXPORT JSONString : public JSONNode {
public:
    explicit JSONString(JSONStream* stream);
    ~JSONString() override;
    std::string GetValue() const;

private:
    std::string m_strValue;
};

class VASQ_EXPORT JSONNumber : public JSONNode {
public:
    explicit JSONNumber(JSONStream* stream);
    ~JSONNumber() override;
    std::string GetValue() const;

private:
    void Parse();
    void PushBack(char c);
    char m_szNumber[64];
    uint32_t m_nLength;
};

class VASQ_EXPORT JSONDefinedToken : public JSONNode {
public:
    JSONDefinedToken(JSONStream* stream, const std::string& token);
    ~JSONDefinedToken() override;

protected:
    void Parse();
    std::string m_strToken;
};

class VASQ_EXPORT JSONTrue : public JSONDefinedToken {
public:
    explicit JSONTrue(JSONStream* stream);
    ~JSONTrue() override;
};

class VASQ_EXPORT JSONFalse : public JSONDefinedToken {
public:
    explicit JSONFalse(JSONStream* stream);
    ~JSONFalse() override;
};

class VASQ_EXPORT JSONNull : public JSONDefinedToken {
public:
    explicit JSONNull(JSONStream* stream);
    ~JSONNull() override;
};

VASQ_EXPORT std::string StreamReadString(JSONNode* node);

VASQ_EXPORT std::string JSONNodeToString(const JSONNode* node, const std::string& defaultValue);
VASQ_EXPORT int JSONNodeToInt(const JSONNode* node, int defaultValue);
VASQ_EXPORT double JSONNodeToDouble(const JSONNode* node, double defaultValue);
// A millisecond count becomes seconds: the last three characters of the number are dropped.
VASQ_EXPORT uint32_t JSONNodeToTime32(const JSONNode* node, uint32_t defaultValue);
