#include <gtest/gtest.h>
#include <sys/stat.h>

#include <dirent.h>

#include <cstdio>
#include <fstream>
#include <memory>

#include "TestSupport.h"
#include "json/Json.h"

namespace {

class TextStream : public JSONStream {
public:
    explicit TextStream(std::string text) : m_text(std::move(text)) {}
    char ReadChar() override { return m_at < m_text.size() ? m_text[m_at++] : 0; }

private:
    std::string m_text;
    size_t m_at = 0;
};

// Parses text as whatever value its first character starts.
struct Parsed {
    explicit Parsed(const std::string& text) : stream(text), reader(&stream), root(reader.ReadValueNode()) {}
    TextStream stream;
    JSONNode reader;
    std::unique_ptr<JSONNode> root;
    JSONObject* object() { return root->GetType() == JSON_TYPE_OBJECT ? static_cast<JSONObject*>(root.get()) : nullptr; }
    JSONArray* array() { return root->GetType() == JSON_TYPE_ARRAY ? static_cast<JSONArray*>(root.get()) : nullptr; }
};

std::string NumberText(const JSONNode* node)
{
    return node != nullptr && node->GetType() == JSON_TYPE_NUMBER ? static_cast<const JSONNumber*>(node)->GetValue()
                                                                  : "<not a number>";
}

std::string WriteFile(const TempFolder& folder, const std::string& name, const std::string& content)
{
    const std::string path = folder.path() + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

}  // namespace

TEST(JsonReader, ReadsObjectsArraysLiteralsAndStrings)
{
    Parsed doc(R"({"a":1,"b":[true,false,null],"c":"x\"y"})");
    JSONObject* object = doc.object();
    ASSERT_NE(nullptr, object);
    EXPECT_EQ("1", NumberText(object->GetValue("a")));
    auto* b = static_cast<JSONArray*>(object->GetValue("b"));
    ASSERT_NE(nullptr, b);
    ASSERT_EQ(JSON_TYPE_ARRAY, b->GetType());
    ASSERT_EQ(3u, b->GetCount());
    EXPECT_EQ(JSON_TYPE_TRUE, (*b)[0]->GetType());
    EXPECT_EQ(JSON_TYPE_FALSE, (*b)[1]->GetType());
    EXPECT_EQ(JSON_TYPE_NULL, (*b)[2]->GetType());
    EXPECT_EQ(nullptr, (*b)[3]);
    EXPECT_EQ("x\\\"y", JSONNodeToString(object->GetValue("c"), "?")) << "escapes stay as written";
    EXPECT_EQ(nullptr, object->GetValue("d"));

    Parsed escapes(R"(["\u00e9\n\\"])");
    EXPECT_EQ(R"(\u00e9\n\\)", JSONNodeToString((*escapes.array())[0], "?"));
}

TEST(JsonReader, WhiteSpaceRulesAreNarrow)
{
    EXPECT_EQ(nullptr, Parsed(R"({"a" : 1})").object()->GetValue("a")) << "space before the colon";
    Parsed spaceAfterValue(R"({"a":1 ,"b":2})");
    EXPECT_EQ("1", NumberText(spaceAfterValue.object()->GetValue("a")));
    EXPECT_EQ(nullptr, spaceAfterValue.object()->GetValue("b"));
    EXPECT_EQ(3u, Parsed("[1, 2 ,3]").array()->GetCount());
    EXPECT_EQ(3u, Parsed("[\n1,\n 2\n,\n3\n]").array()->GetCount());
    // A carriage return or a tab is not white space: it starts an empty number and ends the array.
    for (const char* text : {"[1,\r\n2]", "[1,\t2]"}) {
        Parsed doc(text);
        ASSERT_EQ(2u, doc.array()->GetCount()) << text;
        EXPECT_EQ("", NumberText((*doc.array())[1])) << text;
    }
    EXPECT_EQ(nullptr, Parsed(R"({"":1})").object()->GetValue("")) << "an empty key ends the object";
}

TEST(JsonReader, RepeatedKeyReplacesTheEarlierValue)
{
    Parsed doc(R"({"k":[1,2],"k":"last"})");
    EXPECT_EQ("last", JSONNodeToString(doc.object()->GetValue("k"), "?"));
}

TEST(JsonReader, NumbersKeepTheirTextWithinSixtyThreeCharacters)
{
    EXPECT_EQ("-12.5e3", NumberText(Parsed("-12.5e3").root.get()));
    Parsed exponentSign("[1e-5]");
    EXPECT_EQ("1e", NumberText((*exponentSign.array())[0]));
    EXPECT_EQ(1u, exponentSign.array()->GetCount()) << "the pushed-back sign ends the array";
    EXPECT_EQ("1.5", NumberText(Parsed("1.5.2").root.get()));
    EXPECT_EQ("", NumberText(Parsed("+1").root.get()));

    const std::string seventy(70, '7');
    EXPECT_EQ(std::string(63, '7'), NumberText(Parsed(seventy).root.get()));
}

TEST(JsonReader, LiteralWordsKeepTheirTypeWhenMisspelt)
{
    Parsed doc("[tru,nul]");
    ASSERT_EQ(2u, doc.array()->GetCount()) << "the mismatching character is pushed back and read on";
    EXPECT_EQ(JSON_TYPE_TRUE, (*doc.array())[0]->GetType());
    EXPECT_EQ(JSON_TYPE_NULL, (*doc.array())[1]->GetType());
}

TEST(JsonReader, DataEndingInsideAStringKeepsItsText)
{
    Parsed open(R"({"key":"unfinished)");
    EXPECT_EQ("unfinished", JSONNodeToString(open.object()->GetValue("key"), "?"));
    Parsed backslash("[\"ab\\");
    EXPECT_EQ("ab\\", JSONNodeToString((*backslash.array())[0], "?"));
}

TEST(JsonReader, ConversionsFallBackToTheirDefaults)
{
    Parsed doc(R"({"n":42,"d":2.5,"t":1700000000123,"short":12,"s":"x"})");
    JSONObject* o = doc.object();
    EXPECT_EQ(42, JSONNodeToInt(o->GetValue("n"), -1));
    EXPECT_EQ(-1, JSONNodeToInt(o->GetValue("s"), -1));
    EXPECT_EQ(-1, JSONNodeToInt(nullptr, -1));
    EXPECT_DOUBLE_EQ(2.5, JSONNodeToDouble(o->GetValue("d"), 0));
    EXPECT_DOUBLE_EQ(9.0, JSONNodeToDouble(o->GetValue("s"), 9.0));
    EXPECT_EQ(1700000000u, JSONNodeToTime32(o->GetValue("t"), 0));
    EXPECT_EQ(12u, JSONNodeToTime32(o->GetValue("short"), 0));
    EXPECT_EQ(7u, JSONNodeToTime32(o->GetValue("s"), 7));
    EXPECT_EQ("dflt", JSONNodeToString(o->GetValue("n"), "dflt"));
}

TEST(JsonReader, DeepNestingEndsTheParseInsteadOfTheStack)
{
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    Parsed doc(deep);
    int filled = 0;
    for (JSONNode* node = doc.root.get(); node != nullptr && node->GetType() == JSON_TYPE_ARRAY;
         node = (*static_cast<JSONArray*>(node))[0])
        filled += static_cast<JSONArray*>(node)->GetCount() > 0 ? 1 : 0;
    EXPECT_EQ(JSON_MAX_DEPTH, filled);

    const std::string fine = std::string(100, '[') + "1" + std::string(100, ']');
    Parsed shallow(fine);
    JSONNode* node = shallow.root.get();
    for (int i = 0; i < 100; ++i)
        node = (*static_cast<JSONArray*>(node))[0];
    EXPECT_EQ("1", NumberText(node));
}

TEST(JsonFile, ReadsAFileAndTreatsUnreadableOnesAsEmpty)
{
    TempFolder folder;
    JSONFile file(WriteFile(folder, "doc.json", "{\"name\":\"vasq\",\"ports\":[0,\n1]}"));
    JSONObject root(&file);
    EXPECT_EQ("vasq", JSONNodeToString(root.GetValue("name"), ""));
    EXPECT_EQ(2u, static_cast<JSONArray*>(root.GetValue("ports"))->GetCount());

    for (const std::string& path : {folder.path() + "/missing.json", WriteFile(folder, "empty.json", ""),
                                    folder.path()}) {
        JSONFile unreadable(path);
        EXPECT_EQ(0, unreadable.ReadNextChar()) << path;
        JSONArray empty(&unreadable);
        EXPECT_EQ(0u, empty.GetCount());
    }
}

TEST(JsonFile, EveryCorpusFileEndsCleanly)
{
    DIR* dir = opendir(VASQ_JSON_CORPUS);
    ASSERT_NE(nullptr, dir) << VASQ_JSON_CORPUS;
    int files = 0;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        JSONFile file(std::string(VASQ_JSON_CORPUS) + "/" + entry->d_name);
        JSONNode reader(&file);
        std::unique_ptr<JSONNode> root(reader.ReadValueNode());
        EXPECT_LE(root->GetType(), JSON_TYPE_NULL) << entry->d_name;
        ++files;
    }
    closedir(dir);
    EXPECT_EQ(318, files);
}
