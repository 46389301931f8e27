// The archive layout, the tar format as import reads it and the streaming
// check of the configuration file's JSON; no Python here.
#include "archive_format.hpp"

#include <new>
#include <vector>

namespace zelta::transfer {

// ---- Archive layout and member policy ---------------------------------------

std::string_view archive_top_name(std::string_view archive_path) {
    size_t slash = archive_path.rfind('/');
    std::string_view last = slash == std::string_view::npos ? archive_path : archive_path.substr(slash + 1);
    return last.substr(0, last.find('.'));
}

std::string_view member_top_name(std::string_view first_member) {
    return first_member.substr(0, first_member.find('/'));
}

bool is_plain_relative(std::string_view name) {
    if (name.empty() || name.find('\0') != std::string_view::npos) return false;
    size_t start = 0;
    for (;;) {
        size_t end = name.find('/', start);
        std::string_view component = name.substr(start, end == std::string_view::npos ? end : end - start);
        if (component.empty() || component == "." || component == "..") return false;
        if (end == std::string_view::npos) return true;
        start = end + 1;
    }
}

std::optional<std::string_view> path_below_top(std::string_view name, std::string_view top) {
    if (name == top) return std::string_view{};
    if (name.size() > top.size() && name.starts_with(top) && name[top.size()] == '/')
        return name.substr(top.size() + 1);
    return std::nullopt;
}

Place layout_place(std::string_view relative) {
    static constexpr std::string_view directories[] = {
        "",
        "etc",
        "etc/audit",
        "etc/audit/rules.d",
        "etc/logrotate.d",
        "etc/syslog-ng",
        "etc/syslog-ng/conf.d",
        "root",
        notifyrc_dir,
    };
    for (std::string_view directory : directories)
        if (relative == directory) return Place::directory;
    for (std::string_view file : config_files)
        if (relative == file) return Place::file;
    if (relative == notifyrc) return Place::file;
    if (relative.starts_with(fragment_dir)) {
        std::string_view file = relative.substr(fragment_dir.size());
        if (file.starts_with(fragment_prefix) && file.find('/') == std::string_view::npos) return Place::file;
    }
    return Place::none;
}

namespace {

// A header field up to its first NUL.
std::string_view tar_field(std::string_view block, size_t offset, size_t length) {
    std::string_view field = block.substr(offset, length);
    return field.substr(0, field.find('\0'));
}

// The length of the UTF-8 sequence at p (its first byte not ASCII), 0 when
// it is malformed: overlong, a surrogate or beyond U+10FFFF, as Python's
// strict decoder refuses them.
size_t utf8_sequence(const unsigned char* p, const unsigned char* end) {
    unsigned char c = *p;
    size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
    if (length == 0 || c > 0xF4 || static_cast<size_t>(end - p) < length) return 0;
    for (size_t i = 1; i < length; ++i)
        if ((p[i] & 0xC0) != 0x80) return 0;
    if ((c == 0xE0 && p[1] < 0xA0) || (c == 0xED && p[1] >= 0xA0) || (c == 0xF0 && p[1] < 0x90) ||
        (c == 0xF4 && p[1] >= 0x90))
        return 0;
    return length;
}

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::optional<uint64_t> tar_number(std::string_view raw) {
    uint64_t value = 0;
    if (!raw.empty() && (static_cast<unsigned char>(raw[0]) & 0x80)) {
        if (static_cast<unsigned char>(raw[0]) != 0x80) return std::nullopt;
        for (char byte : raw.substr(1)) {
            if (value >> 56) return std::nullopt;
            value = value << 8 | static_cast<unsigned char>(byte);
        }
        return value;
    }
    std::string_view text = raw.substr(0, raw.find('\0'));
    size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return 0;
    text = text.substr(first, text.find_last_not_of(' ') - first + 1);
    for (char digit : text) {
        if (digit < '0' || digit > '7' || (value >> 56)) return std::nullopt;
        value = value * 8 + static_cast<uint64_t>(digit - '0');
    }
    return value;
}

std::optional<TarHeader> parse_tar_header(std::string_view block) {
    if (block.size() != tar_block) return std::nullopt;
    // The checksum counts its own field as spaces; old writers summed signed bytes.
    std::optional<uint64_t> stored = tar_number(tar_field(block, 148, 8));
    if (!stored) return std::nullopt;
    uint64_t unsigned_sum = 0;
    int64_t signed_sum = 0;
    for (size_t i = 0; i < tar_block; ++i) {
        char byte = i >= 148 && i < 156 ? ' ' : block[i];
        unsigned_sum += static_cast<unsigned char>(byte);
        signed_sum += static_cast<signed char>(byte);
    }
    if (*stored != unsigned_sum && static_cast<int64_t>(*stored) != signed_sum) return std::nullopt;
    std::optional<uint64_t> size = tar_number(block.substr(124, 12));
    std::optional<uint64_t> mode = tar_number(block.substr(100, 8));
    if (!size || !mode) return std::nullopt;
    TarHeader header;
    header.type = block[156];
    header.size = *size;
    header.mode = static_cast<uint32_t>(*mode & 07777);
    header.name = tar_field(block, 0, 100);
    std::string_view prefix = tar_field(block, 345, 155);
    bool gnu_type = header.type == 'L' || header.type == 'K' || header.type == 'S';
    if (block.substr(257, 6) == std::string_view("ustar\0", 6) && !prefix.empty() && !gnu_type)
        header.name = std::string(prefix) + "/" + header.name;
    return header;
}

bool is_zero_block(std::string_view block) { return block.find_first_not_of('\0') == std::string_view::npos; }

std::optional<PaxRecord> next_pax_record(std::string_view& records) {
    size_t space = records.find(' ');
    // 19 digits at most: a 20-digit length could overflow.
    if (space == 0 || space == std::string_view::npos || space > 19) return std::nullopt;
    uint64_t length = 0;
    for (char digit : records.substr(0, space)) {
        if (!is_digit(digit)) return std::nullopt;
        length = length * 10 + static_cast<uint64_t>(digit - '0');
    }
    if (length <= space + 1 || length > records.size() || records[length - 1] != '\n') return std::nullopt;
    std::string_view record = records.substr(space + 1, length - space - 2);
    size_t equals = record.find('=');
    if (equals == 0 || equals == std::string_view::npos) return std::nullopt;
    records.remove_prefix(length);
    return PaxRecord{record.substr(0, equals), record.substr(equals + 1)};
}

namespace {

// The JSON check over text that may still be arriving: t.has(i) tells
// whether byte i is there (waiting for it while more may come), t.at(i)
// gives it, and t.from(i) to t.end() are the bytes from i known to be there.
template <typename Text>
JsonCheck check_json_text(Text& t) {
    // Outside strings only ASCII may stand, so UTF-8 is checked there alone.
    enum class Expect { value, value_or_close, key, key_or_close, after_value };
    std::vector<char> open;  // '{' or '[' of each enclosing container
    Expect expect = Expect::value;
    size_t i = 0;
    auto is = [&](size_t at, char wanted) { return t.has(at) && t.at(at) == static_cast<unsigned char>(wanted); };
    auto digit_at = [&](size_t at) { return t.has(at) && is_digit(static_cast<char>(t.at(at))); };
    auto literal = [&](std::string_view word) {
        for (size_t k = 0; k < word.size(); ++k)
            if (!is(i + k, word[k])) return false;
        i += word.size();
        return true;
    };
    auto space = [&] {
        while (t.has(i) && (t.at(i) == ' ' || t.at(i) == '\t' || t.at(i) == '\n' || t.at(i) == '\r')) ++i;
    };
    auto string = [&] {  // i is at the opening quote
        for (++i; t.has(i); ++i) {
            // The plain run of the string, as far as the text has arrived.
            const unsigned char* run = t.from(i);
            const unsigned char* end = t.end();
            const unsigned char* p = run;
            while (p < end && *p >= 0x20 && *p < 0x80 && *p != '"' && *p != '\\') ++p;
            i += static_cast<size_t>(p - run);
            if (p == end) {
                --i;  // the loop's ++i looks at the next byte, once it is there
                continue;
            }
            unsigned char c = *p;
            if (c == '"') {
                ++i;
                return true;
            }
            if (c < 0x20) return false;
            if (c >= 0x80) {
                unsigned char sequence[4] = {c, 0, 0, 0};
                size_t have = 1;
                while (have < 4 && t.has(i + have)) {
                    sequence[have] = t.at(i + have);
                    ++have;
                }
                size_t length = utf8_sequence(sequence, sequence + have);
                if (length == 0) return false;
                i += length - 1;
                continue;
            }
            if (!t.has(++i)) return false;
            if (t.at(i) == 'u') {
                for (size_t k = 1; k <= 4; ++k)
                    if (!t.has(i + k) || !is_hex(static_cast<char>(t.at(i + k)))) return false;
                i += 4;
            } else if (std::string_view("\"\\/bfnrt").find(static_cast<char>(t.at(i))) == std::string_view::npos) {
                return false;
            }
        }
        return false;
    };
    auto number = [&] {
        if (is(i, '-')) ++i;
        if (literal("Infinity")) return true;
        if (!digit_at(i)) return false;
        size_t first = i;
        if (is(i, '0'))
            ++i;
        else
            while (digit_at(i)) ++i;
        bool integer = true;
        if (is(i, '.') && digit_at(i + 1)) {
            integer = false;
            for (++i; digit_at(i);) ++i;
        }
        if (is(i, 'e') || is(i, 'E')) {
            size_t digits = is(i + 1, '+') || is(i + 1, '-') ? i + 2 : i + 1;
            if (digit_at(digits)) {
                integer = false;
                for (i = digits; digit_at(i);) ++i;
            }
        }
        // An integer longer than Python converts by default fails json.loads.
        return !integer || i - first <= Limits::max_json_integer_digits;
    };
    bool object = false;
    for (;;) {
        space();
        if (!t.has(i)) break;
        char c = static_cast<char>(t.at(i));
        // An empty array or object closes where its first value or key would stand.
        if ((expect == Expect::value_or_close && c == ']') || (expect == Expect::key_or_close && c == '}')) {
            open.pop_back();
            ++i;
            expect = Expect::after_value;
            continue;
        }
        switch (expect) {
            case Expect::value_or_close:
            case Expect::value:
                if (open.empty()) object = c == '{';
                if (c == '{' || c == '[') {
                    open.push_back(c);
                    if (open.size() > Limits::max_json_depth) return JsonCheck::too_deep;
                    ++i;
                    expect = c == '{' ? Expect::key_or_close : Expect::value_or_close;
                    break;
                }
                if (!(c == '"'                  ? string()
                      : c == '-' || is_digit(c) ? number()
                      : c == 't'                ? literal("true")
                      : c == 'f'                ? literal("false")
                      : c == 'n'                ? literal("null")
                      : c == 'N'                ? literal("NaN")
                      : c == 'I'                ? literal("Infinity")
                                                : false))
                    return JsonCheck::invalid;
                expect = Expect::after_value;
                break;
            case Expect::key_or_close:
            case Expect::key:
                if (c != '"' || !string()) return JsonCheck::invalid;
                space();
                if (!is(i, ':')) return JsonCheck::invalid;
                ++i;
                expect = Expect::value;
                break;
            case Expect::after_value:
                if (open.empty()) return JsonCheck::invalid;  // extra data
                if (c == ',') {
                    expect = open.back() == '{' ? Expect::key : Expect::value;
                } else if (c == (open.back() == '{' ? '}' : ']')) {
                    open.pop_back();
                } else {
                    return JsonCheck::invalid;
                }
                ++i;
                break;
        }
    }
    if (!open.empty() || expect != Expect::after_value) return JsonCheck::invalid;
    return object ? JsonCheck::object : JsonCheck::other_value;
}

}  // namespace

JsonWorker::JsonWorker(size_t size) {
    text_.reserve(size);  // appends never move the text the thread reads
    data_ = text_.data();
    thread_ = std::thread([this] {
        try {
            result_ = check_json_text(*this);
        } catch (const std::bad_alloc&) {
            result_ = JsonCheck::invalid;  // json.loads then reports it
        }
    });
}

}  // namespace zelta::transfer
