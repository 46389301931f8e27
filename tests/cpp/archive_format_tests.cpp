// Tests of the archive layout, the tar format as import reads it and the
// streaming JSON check, without Python: each table row is one case, and a
// failed case prints itself and makes the program exit 1.
#include "archive_format.hpp"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using namespace zelta::transfer;

namespace {

int failures = 0;

void expect(bool ok, const char* what, const std::string& input) {
    if (ok) return;
    ++failures;
    std::printf("FAILED %s: ", what);
    for (unsigned char c : input) std::printf(c >= 0x20 && c < 0x7f ? "%c" : "\\x%02x", c);
    std::printf("\n");
}

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) out += static_cast<char>(v);
    return out;
}

// A ustar header block with a valid checksum.
std::string header(std::string_view name, std::string_view prefix, char type, std::string_view size_field,
                   std::string_view mode_field = "0000644") {
    std::string block(tar_block, '\0');
    block.replace(0, name.size(), name);
    block.replace(100, mode_field.size(), mode_field);
    block.replace(124, size_field.size(), size_field);
    block[156] = type;
    block.replace(257, 6, std::string("ustar\0", 6));
    block.replace(263, 2, "00");
    block.replace(345, prefix.size(), prefix);
    unsigned sum = 0;
    for (size_t i = 0; i < tar_block; ++i) sum += i >= 148 && i < 156 ? ' ' : static_cast<unsigned char>(block[i]);
    char checksum[8];
    std::snprintf(checksum, sizeof checksum, "%06o", sum);
    block.replace(148, 7, std::string(checksum, 6) + '\0');
    return block;
}

void numbers() {
    struct {
        std::string raw;
        std::optional<uint64_t> value;
    } cases[] = {
        {"0000644", 0644},
        {" 644 ", 0644},
        {"", 0},
        {"   ", 0},
        {"0000008", std::nullopt},
        {"12 34", std::nullopt},
        {bytes({0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0}), 256},
        {bytes({0x80, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0}), 2ULL << 48},
        {bytes({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}), std::nullopt},  // negative
        {bytes({0x80, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), std::nullopt},                                   // beyond 2^56
        {"77777777777777777777", std::nullopt},  // beyond 2^56 in octal
    };
    for (const auto& c : cases) expect(tar_number(c.raw) == c.value, "tar_number", c.raw);
}

void headers() {
    std::string plain = header("T/etc/zelta-syslog.conf", "", '0', "00000000012");
    std::optional<TarHeader> parsed = parse_tar_header(plain);
    expect(parsed && parsed->name == "T/etc/zelta-syslog.conf" && parsed->size == 10 && parsed->mode == 0644,
           "plain header", plain);
    // The ustar prefix joins the name; GNU long-name headers keep their own name.
    std::string prefixed = header("zelta-syslog.conf", "T/etc", '0', "0");
    parsed = parse_tar_header(prefixed);
    expect(parsed && parsed->name == "T/etc/zelta-syslog.conf", "ustar prefix", prefixed);
    std::string long_name = header("././@LongLink", "T/etc", 'L', "0");
    parsed = parse_tar_header(long_name);
    expect(parsed && parsed->name == "././@LongLink", "GNU long name", long_name);
    // A size in base-256, as writers store sizes of 8 GiB and more.
    std::string huge = header("T/x", "", '0', bytes({0x80, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0}));
    parsed = parse_tar_header(huge);
    expect(parsed && parsed->size == 2ULL << 32, "base-256 size", huge);
    // Permission bits only; a damaged checksum or number refuses the block.
    std::string mode = header("T/x", "", '0', "0", "0107755");
    parsed = parse_tar_header(mode);
    expect(parsed && parsed->mode == 07755, "mode bits", mode);
    std::string damaged = plain;
    damaged[0] = 'U';
    expect(!parse_tar_header(damaged), "damaged checksum", damaged);
    expect(!parse_tar_header(header("T/x", "", '0', "9")), "damaged size", "9");
    expect(!parse_tar_header(plain.substr(1)), "short block", "511 bytes");
    expect(is_zero_block(std::string(tar_block, '\0')) && !is_zero_block(plain), "zero block", "");
    expect(tar_padding(0) == 0 && tar_padding(1) == 511 && tar_padding(512) == 0 && tar_padding(513) == 511, "padding",
           "");
}

void pax_records() {
    std::string_view records = "12 path=abc\n19 size=1234567890\n";
    std::optional<PaxRecord> first = next_pax_record(records);
    std::optional<PaxRecord> second = next_pax_record(records);
    expect(first && first->key == "path" && first->value == "abc" && second && second->key == "size" &&
               second->value == "1234567890" && records.empty(),
           "two records", "");
    records = "8 a=b=c\n5 a=\n";
    first = next_pax_record(records);
    second = next_pax_record(records);
    expect(first && first->key == "a" && first->value == "b=c" && second && second->value.empty(),
           "values with = or none", "8 a=b=c");
    for (const char* bad : {"", "x", "0 a=b\n", "4 a=\n", "12 path=abc", "12 path=abcd", "99 path=abc\n",
                            "12 pathxabc\n", "7 =abc\n", " 6 a=b\n", "1a a=b\n", "123456789012345678901 a=b\n",
                            "18446744073709551643 a=bbb\n"}) {  // 2^64 + 27: no wrap to 27
        std::string_view text = bad;
        expect(!next_pax_record(text), "malformed record", bad);
    }
}

void json() {
    struct {
        std::string text;
        JsonCheck check;
    } cases[] = {
        {"{}", JsonCheck::object},
        {" {\"a\": [1, -0, 1.5e3, 2E-2, NaN, Infinity, -Infinity, true, false, null]} ", JsonCheck::object},
        {"{\"\xc3\xa9\": \"\\u00e9\\n\xf0\x9d\x84\x9e\"}", JsonCheck::object},
        {"[1, 2]", JsonCheck::other_value},
        {"\"text\"", JsonCheck::other_value},
        {"", JsonCheck::invalid},
        {"{\"a\": 1,}", JsonCheck::invalid},
        {"{} {}", JsonCheck::invalid},
        {"{\"a\": \"\xff\"}", JsonCheck::invalid},
        {"{\"a\": \"\xed\xa0\x80\"}", JsonCheck::invalid},  // a surrogate
        {"{\"a\": \"\xc0\xaf\"}", JsonCheck::invalid},      // overlong
        {"{\"a\": \"\\x\"}", JsonCheck::invalid},
        {"{\"a\": \"\x01\"}", JsonCheck::invalid},
        {"{\"a\" 1}", JsonCheck::invalid},
        {std::string(256, '[') + std::string(256, ']'), JsonCheck::other_value},
        {std::string(257, '[') + std::string(257, ']'), JsonCheck::too_deep},
        // Integers json.loads converts, or refuses by their number of digits.
        {"{\"a\": -" + std::string(4300, '9') + "}", JsonCheck::object},
        {"{\"a\": " + std::string(4301, '9') + ".5}", JsonCheck::object},
        {"{\"a\": [-" + std::string(4301, '9') + "]}", JsonCheck::invalid},
    };
    // Whole, and arriving a byte at a time: the check waits for what is to come.
    for (const auto& c : cases)
        for (size_t chunk : {c.text.size() + 1, size_t{1}}) {
            JsonWorker worker(c.text.size());
            for (size_t i = 0; i < c.text.size(); i += chunk)
                worker.append(c.text.data() + i, std::min(chunk, c.text.size() - i));
            expect(worker.finish() == c.check, chunk == 1 ? "json, byte by byte" : "json", c.text);
            expect(worker.take() == c.text, "json text kept", c.text);
        }
}

void layout() {
    struct {
        std::string_view relative;
        Place place;
    } cases[] = {
        {"", Place::directory},
        {"etc", Place::directory},
        {"etc/audit/rules.d", Place::directory},
        {"root/.config", Place::directory},
        {"etc/zelta-syslog.conf", Place::file},
        {"etc/syslog-ng/conf.d/mod-zelta.conf", Place::file},
        {"etc/syslog-ng/conf.d/mod-zelta", Place::file},
        {"root/.config/zelta-event-watcher.notifyrc", Place::file},
        {"etc/syslog-ng/conf.d/other.conf", Place::none},
        {"etc/syslog-ng/conf.d/mod-zelta.d/x", Place::none},
        {"etc/zelta-syslog.conf.lock", Place::none},
        {"etc/passwd", Place::none},
        {"root/.config/other", Place::none},
    };
    for (const auto& c : cases) expect(layout_place(c.relative) == c.place, "layout place", std::string(c.relative));
    for (const char* name : {"T", "T/etc", "a b/c"}) expect(is_plain_relative(name), "plain name", name);
    for (const char* name : {"", "/T", "T/", "T//etc", "T/./etc", "T/..", ".."})
        expect(!is_plain_relative(name), "unsafe name", name);
    expect(!is_plain_relative(std::string_view("T\0x", 3)), "name with NUL", "T\\0x");
    expect(path_below_top("T/etc", "T") == "etc" && path_below_top("T", "T") == "" && !path_below_top("Tx/etc", "T") &&
               !path_below_top("U/etc", "T"),
           "path below top", "");
    expect(archive_top_name("/tmp/save.2024.tar.gz") == "save" && archive_top_name(".x.tar.gz").empty() &&
               archive_top_name("dir.d/name.tar.gz") == "name",
           "archive top name", "");
    expect(member_top_name("T/etc/x") == "T" && member_top_name("T") == "T", "member top name", "");
}

}  // namespace

int main() {
    numbers();
    headers();
    pax_records();
    json();
    layout();
    if (failures) std::printf("%d failed\n", failures);
    return failures ? 1 : 0;
}
