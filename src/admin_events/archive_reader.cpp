// The archive as import reads it.
#include "archive_reader.hpp"
#include "archive_format.hpp"
#include "files.hpp"

#include <map>
#include <optional>

namespace zelta::transfer {

namespace {

// Applies the records of a pax header; refuses sparse members.
void read_pax(std::string_view records, std::map<std::string, std::string>& into) {
    while (!records.empty()) {
        std::optional<PaxRecord> record = next_pax_record(records);
        if (!record) raise(PyExc_ValueError, "damaged pax extended header");
        if (record->key.starts_with("GNU.sparse.")) raise(PyExc_ValueError, "sparse members are not supported");
        into[std::string(record->key)] = record->value;
    }
}

}  // namespace

void read_archive(TarStream& stream, MemberSink& importer) {
    std::map<std::string, std::string> global_pax, pax;
    std::optional<std::string> long_name;
    std::string block, data;
    uint64_t members = 0, total = 0;
    for (;;) {
        block.clear();
        uint64_t at = stream.offset();
        if (!stream.read(tar_block, block)) {
            if (!stream.started() || at == 0) raise(PyExc_ValueError, "empty file");
            if (long_name || !pax.empty()) TarStream::truncated();
            break;
        }
        if (is_zero_block(block)) {
            if (members == 0) raise(PyExc_ValueError, "the archive has no members");
            if (long_name || !pax.empty()) TarStream::truncated();
            stream.expect_end();
            break;
        }
        std::optional<TarHeader> header = parse_tar_header(block);
        if (!header)
            raise_format(PyExc_ValueError, "damaged tar header at byte %llu", static_cast<unsigned long long>(at));
        char type = header->type;
        if (type == 'x' || type == 'g' || type == 'L' || type == 'K') {
            if (header->size > Limits::max_extended_header)
                raise_format(PyExc_ValueError, "extended header larger than the limit of %llu KiB",
                             static_cast<unsigned long long>(Limits::max_extended_header >> 10));
            data.clear();
            if (!stream.read(static_cast<size_t>(header->size), data)) TarStream::truncated();
            stream.skip(tar_padding(header->size));
            if (type == 'x') read_pax(data, pax);
            if (type == 'g') read_pax(data, global_pax);
            if (type == 'L') long_name = data.substr(0, data.find('\0'));
            continue;
        }
        if (type == 'S') raise(PyExc_ValueError, "sparse members are not supported");
        std::string name = long_name ? std::move(*long_name) : std::move(header->name);
        uint64_t size = header->size;
        for (const auto* records : {&global_pax, &pax}) {
            if (auto path = records->find("path"); path != records->end()) name = path->second;
            if (auto found = records->find("size"); found != records->end()) {
                const std::string& text = found->second;
                if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos)
                    raise(PyExc_ValueError, "damaged pax extended header");
                size = std::stoull(text);
            }
        }
        pax.clear();
        long_name.reset();
        if (type == '\0' && name.ends_with('/')) type = '5';
        if (type == '5')
            while (name.size() > 1 && name.back() == '/') name.pop_back();
        if (++members > Limits::max_members)
            raise_format(PyExc_ValueError, "more members than the limit of %llu, at: %R",
                         static_cast<unsigned long long>(Limits::max_members), fs_text(name).get());
        // Content follows regular files and types tar does not know; other
        // kinds carry none whatever their size field says.
        bool has_content = type < '1' || type > '6';
        if (has_content) {
            if (size > Limits::max_member_size)
                raise_format(PyExc_ValueError, "member larger than the limit of %llu MiB: %R",
                             static_cast<unsigned long long>(Limits::max_member_size >> 20), fs_text(name).get());
            total += size;
            if (total > Limits::max_total_size)
                raise_format(PyExc_ValueError, "members larger than the limit of %llu MiB in all, at: %R",
                             static_cast<unsigned long long>(Limits::max_total_size >> 20), fs_text(name).get());
        }
        importer.member(name, type, static_cast<mode_t>(header->mode), size, has_content, stream);
        if (has_content) stream.skip(tar_padding(size));
    }
    if (importer.empty()) raise(PyExc_ValueError, "the archive has no members");
}

}  // namespace zelta::transfer
