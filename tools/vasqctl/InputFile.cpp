#include "InputFile.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "Cli.h"

namespace vasqctl {

namespace {

// An input file is a description of a few hundred bytes; this much is surely a mistake.
constexpr size_t kLargestInput = 1 << 20;
// A description is flat; deeper nesting is a mistake, refused before it costs anything.
constexpr size_t kDeepestNesting = 64;

// How often a wait for a pipe's writer looks for a signal that ends vasqctl.
constexpr int kSignalPollMs = 100;

// Reads the whole file; false after saying why not. A FIFO or a pipe may keep
// it waiting for its writer: a signal that ends vasqctl ends the wait (the
// library's threads may be the ones that take it, so no call is interrupted).
bool ReadText(const std::string& path, std::string& text)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        Error("cannot read %s: %s", path.c_str(), strerror(errno));
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        Error("cannot read %s: %s", path.c_str(), strerror(EISDIR));
        close(fd);
        return false;
    }
    text.clear();
    char buffer[65536];
    for (;;) {
        pollfd input{fd, POLLIN, 0};
        const int ready = poll(&input, 1, kSignalPollMs);
        if (g_signal != 0) {
            Error("interrupted while reading %s; nothing was sent", path.c_str());
            close(fd);
            return false;
        }
        if (ready == 0 || (ready < 0 && errno == EINTR))
            continue;
        const ssize_t got = read(fd, buffer, sizeof(buffer));
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got < 0) {
            Error("cannot read %s: %s", path.c_str(), strerror(errno));
            close(fd);
            return false;
        }
        if (got == 0)
            break;
        text.append(buffer, static_cast<size_t>(got));
        if (text.size() > kLargestInput) {
            Error("cannot read %s: larger than %zu KiB, which no description is", path.c_str(), kLargestInput / 1024);
            close(fd);
            return false;
        }
    }
    close(fd);
    return true;
}

// Builds the value from the parser's events, refusing a key given twice (the
// usual parse keeps the last one silently) and deep nesting; keeps where a
// parse error happened.
class Builder {
public:
    using number_integer_t = Json::number_integer_t;
    using number_unsigned_t = Json::number_unsigned_t;
    using number_float_t = Json::number_float_t;
    using string_t = Json::string_t;
    using binary_t = Json::binary_t;

    bool null() { return Add(nullptr) != nullptr; }
    bool boolean(bool value) { return Add(value) != nullptr; }
    bool number_integer(number_integer_t value) { return Add(value) != nullptr; }
    bool number_unsigned(number_unsigned_t value) { return Add(value) != nullptr; }
    bool number_float(number_float_t value, const string_t&) { return Add(value) != nullptr; }
    bool string(string_t& value) { return Add(value) != nullptr; }
    bool binary(binary_t&) { return false; }
    bool start_object(std::size_t) { return Open(Json::object()); }
    bool start_array(std::size_t) { return Open(Json::array()); }
    bool end_object() { return Close(); }
    bool end_array() { return Close(); }

    bool key(string_t& name)
    {
        if (open_.back()->contains(name)) {
            problem = "the key \"" + name + "\" is given twice";
            return false;
        }
        key_ = name;
        return true;
    }

    bool parse_error(std::size_t position, const std::string& token, const Json::exception& error)
    {
        failed = true;
        at = position;
        lastToken = token;
        id = error.id;
        what = error.what();
        return false;
    }

    Json root;
    bool failed = false;  // a syntax error (or a number out of range), at byte `at`
    size_t at = 0;
    std::string lastToken;
    int id = 0;
    std::string what;
    std::string problem;  // a key twice, nesting too deep

private:
    Json* Add(Json value)
    {
        if (open_.empty()) {
            root = std::move(value);
            return &root;
        }
        Json& container = *open_.back();
        if (container.is_array()) {
            container.push_back(std::move(value));
            return &container.back();
        }
        container[key_] = std::move(value);
        return &container[key_];
    }

    bool Open(Json value)
    {
        if (open_.size() >= kDeepestNesting) {
            problem = Printf("nested deeper than %zu levels", kDeepestNesting);
            return false;
        }
        // Only the innermost open container grows, so the pointers to the outer ones stay valid.
        open_.push_back(Add(std::move(value)));
        return true;
    }

    bool Close()
    {
        open_.pop_back();
        return true;
    }

    std::vector<Json*> open_;
    string_t key_;
};

// nlohmann's "[json.exception.parse_error.101] parse error at line 1, column 5: syntax error ..." without
// its own prefix and position, which vasqctl gives itself.
std::string Reason(const std::string& what)
{
    size_t at = what.find("] ");
    std::string reason = at == std::string::npos ? what : what.substr(at + 2);
    if (reason.rfind("parse error", 0) == 0) {
        at = reason.find(": ");
        if (at != std::string::npos)
            reason = reason.substr(at + 2);
    }
    return reason;
}

}  // namespace

void LineAndColumn(const std::string& text, size_t offset, size_t& line, size_t& column)
{
    line = 1;
    column = 1;
    for (size_t i = 0; i < offset && i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++line;
            column = 1;
        } else if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            ++column;
        }
    }
}

bool ReadJsonFile(const std::string& path, Json& value)
{
    std::string text;
    if (!ReadText(path, text))
        return false;
    // The parser takes a NUL for the end of the input and would not look at what follows.
    const size_t nul = text.find('\0');
    if (nul != std::string::npos) {
        size_t line = 0;
        size_t column = 0;
        LineAndColumn(text, nul, line, column);
        Error("%s: line %zu, column %zu: a NUL byte; a description is JSON text", path.c_str(), line, column);
        return false;
    }
    Builder builder;
    const bool parsed = Json::sax_parse(text, &builder);
    if (builder.failed) {
        // The parser gives the count of bytes read: the offending character is the last of them. A number too
        // large for a double is reported once read whole: its first character is where to look.
        size_t offset = builder.at > 0 ? builder.at - 1 : 0;
        if (builder.id == 406 && builder.lastToken.size() <= builder.at)
            offset = builder.at - builder.lastToken.size();
        size_t line = 0;
        size_t column = 0;
        LineAndColumn(text, offset, line, column);
        const std::string reason = builder.id == 406
                                       ? "the number " + builder.lastToken + " is too large (not a finite number)"
                                       : Reason(builder.what);
        Error("%s: line %zu, column %zu: %s", path.c_str(), line, column, reason.c_str());
        return false;
    }
    if (!parsed) {
        Error("%s: %s", path.c_str(), builder.problem.empty() ? "cannot be read as JSON" : builder.problem.c_str());
        return false;
    }
    value = std::move(builder.root);
    return true;
}

}  // namespace vasqctl
