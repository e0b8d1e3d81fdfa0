#include "index_engine/description_reader.hpp"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "index_engine/utf8_decode.hpp"

namespace tarvex::engine {

bool is_python_whitespace(char32_t cp) noexcept {
    switch (cp) {
        case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D:
        case 0x1C: case 0x1D: case 0x1E: case 0x1F: case 0x20:
        case 0x85: case 0xA0: case 0x1680:
        case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
            return true;
        default:
            return cp >= 0x2000 && cp <= 0x200A;
    }
}

namespace {

// A file descriptor closed on every way out.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

// Decodes bytes as they arrive into newline-translated UTF-8 text, the way a
// text stream with errors="ignore" and universal newlines does: undecodable
// bytes are dropped first, so a CR and LF around them still make one line end.
class TextDecoder {
public:
    // Feeds bytes; returns how many leading bytes were used (the rest are an
    // incomplete sequence to feed again with more) or stops at `limit` chars.
    std::size_t feed(const unsigned char* data, std::size_t size, bool at_end, std::int64_t limit) {
        const unsigned char* p = data;
        const unsigned char* end = data + size;
        while (p < end && (limit < 0 || chars_ < limit)) {
            if (*p < 0x80) {
                emit(*p);
                ++p;
                continue;
            }
            const Utf8Step step = decode_utf8_step(p, end);
            if (step.truncated && !at_end) {
                break;
            }
            if (step.valid) {
                emit(step.code_point);
            }
            p += step.length;
        }
        return static_cast<std::size_t>(p - data);
    }

    std::int64_t chars() const noexcept { return chars_; }
    std::string& text() noexcept { return text_; }

private:
    void emit(char32_t cp) {
        const bool after_cr = after_cr_;
        after_cr_ = cp == '\r';
        if (cp == '\n' && after_cr) {  // the LF of a CR LF already counted
            return;
        }
        append_utf8(text_, cp == '\r' ? U'\n' : cp);
        ++chars_;
    }

    std::string text_;
    std::int64_t chars_ = 0;
    bool after_cr_ = false;
};

// Drops the last `count` code points of valid UTF-8 text.
void drop_last_chars(std::string& text, std::int64_t count) {
    std::size_t end = text.size();
    while (count > 0 && end > 0) {
        do {
            --end;
        } while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80);
        --count;
    }
    text.resize(end);
}

}  // namespace

std::string_view strip_whitespace(std::string_view text) noexcept {
    const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = begin + text.size();
    while (begin < end) {
        const Utf8Step step = decode_utf8_step(begin, end);
        if (!is_python_whitespace(step.code_point)) {
            break;
        }
        begin += step.length;
    }
    while (end > begin) {
        const unsigned char* start = end - 1;
        while (start > begin && (*start & 0xC0) == 0x80) {
            --start;
        }
        const Utf8Step step = decode_utf8_step(start, end);
        if (!is_python_whitespace(step.code_point)) {
            break;
        }
        end = start;
    }
    return {reinterpret_cast<const char*>(begin), static_cast<std::size_t>(end - begin)};
}

namespace {

// Where the file behind a descriptor lies, as the kernel spells it.
std::optional<std::string> descriptor_path(int fd) {
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    std::string target(256, '\0');
    while (target.size() <= (std::size_t{1} << 20)) {
        const ssize_t got = readlink(link.c_str(), target.data(), target.size());
        if (got < 0) {
            return std::nullopt;
        }
        if (static_cast<std::size_t>(got) < target.size()) {
            target.resize(static_cast<std::size_t>(got));
            // Anything but an absolute path (a pipe, an anonymous file) places nothing.
            if (target.empty() || target.front() != '/') {
                return std::nullopt;
            }
            return target;
        }
        target.resize(target.size() * 2);  // cut short: ask again with more room
    }
    return std::nullopt;
}

// The bounded text of an open regular file, read from where it stands.
std::optional<std::string> read_text(int fd, std::int64_t max_chars) {
    if (max_chars == -1) {
        return std::string();
    }
    // Positive limits stop reading once enough text is decoded; negative ones
    // need the whole file to know where its end is.
    const std::int64_t limit = max_chars >= 0 ? max_chars : -1;
    constexpr std::size_t kChunk = 64 * 1024;
    TextDecoder decoder;
    // On the heap: the calling thread's stack may be small.
    std::vector<unsigned char> storage(kChunk + 4);
    unsigned char* buffer = storage.data();
    std::size_t pending = 0;  // bytes of an incomplete sequence kept at the front
    while (limit < 0 || decoder.chars() < limit) {
        const ssize_t got = read(fd, buffer + pending, kChunk);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        const bool at_end = got == 0;
        const std::size_t available = pending + static_cast<std::size_t>(got);
        const std::size_t used = decoder.feed(buffer, available, at_end, limit);
        if (at_end) {
            break;
        }
        pending = available - used;
        if (pending > 0 && decoder.chars() != limit) {
            for (std::size_t i = 0; i < pending; ++i) {
                buffer[i] = buffer[used + i];
            }
        }
    }
    std::string& text = decoder.text();
    if (max_chars < -1) {
        drop_last_chars(text, max_chars == INT64_MIN ? INT64_MAX : -max_chars);
    }
    const std::string_view stripped = strip_whitespace(text);
    return std::string(stripped);
}

}  // namespace

OpenedDescription open_description(const std::string& path, std::int64_t max_chars) {
    OpenedDescription result;
    if (path.find('\0') != std::string::npos) {
        return result;
    }
    // Non-blocking, so that opening a FIFO swapped in for the file returns at once.
    FileDescriptor file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file.get() < 0) {
        return result;
    }
    struct stat st;
    if (fstat(file.get(), &st) != 0) {
        return result;
    }
    result.opened = true;
    result.meta = meta_of(st);
    result.real_path = descriptor_path(file.get());
    if (S_ISREG(st.st_mode)) {
        result.text = read_text(file.get(), max_chars);
    }
    return result;
}

}  // namespace tarvex::engine
