// libFuzzer target: the JSON reader on arbitrary bytes.
#include <stddef.h>
#include <stdint.h>

#include <memory>

#include "json/Json.h"

namespace {

class BytesStream : public JSONStream {
public:
    BytesStream(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    char ReadChar() override { return m_at < m_size ? static_cast<char>(m_data[m_at++]) : 0; }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_at = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    BytesStream stream(data, size);
    JSONNode reader(&stream);
    std::unique_ptr<JSONNode> root(reader.ReadValueNode());
    if (root->GetType() == JSON_TYPE_OBJECT)
        JSONNodeToInt(static_cast<JSONObject*>(root.get())->GetValue("a"), 0);
    else if (root->GetType() == JSON_TYPE_ARRAY)
        JSONNodeToTime32((*static_cast<JSONArray*>(root.get()))[0], 0);
    return 0;
}
