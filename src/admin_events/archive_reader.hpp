// The archive as import reads it: the tar stream decompressed once, in
// chunks, and read member by member within the limits, each member handed
// to a sink that checks it and stages or notes its content.
#pragma once

#include "archive_format.hpp"
#include "transfer.hpp"

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace zelta::transfer {

// The tar stream of an archive, decompressed once, in chunks, from the gzip
// file over the one descriptor the archive was opened on.
class TarStream {
public:
    TarStream(Ctx c, Borrowed gzip_file)
        : gzip_(gzip_file),
          chunk_size_(integer(1 << 20)),
          read1_(interned("read1")),
          bad_gzip_(getattr(lazy_module(c, LazyModule::gzip), interned("BadGzipFile"))) {}

    uint64_t offset() const noexcept { return offset_; }
    bool started() const noexcept { return started_; }

    // Appends exactly n bytes to out. False, with nothing read, when the data
    // ends first; data that ends part-way raises.
    bool read(size_t n, std::string& out) {
        size_t wanted = n;
        while (n > 0) {
            if (!fill()) {
                if (n == wanted) return false;
                truncated();
            }
            size_t take = std::min(n, size_ - pos_);
            out.append(data_ + pos_, take);
            consume(take);
            n -= take;
        }
        return true;
    }

    // Hands the next n bytes to sink(data, size), chunk by chunk.
    template <typename Sink>
    void pass(uint64_t n, Sink&& sink) {
        while (n > 0) {
            if (!fill()) truncated();
            size_t take = static_cast<size_t>(std::min<uint64_t>(n, size_ - pos_));
            sink(data_ + pos_, take);
            consume(take);
            n -= take;
        }
    }
    void skip(uint64_t n) {
        pass(n, [](const char*, size_t) {});
    }

    // After the end-of-archive marker only zeros may follow, up to the limit;
    // reading them to the end also checks the gzip stream's CRC and length.
    void expect_end() {
        uint64_t padding = 0;
        while (fill()) {
            std::string_view rest(data_ + pos_, size_ - pos_);
            if (rest.find_first_not_of('\0') != std::string_view::npos)
                raise(PyExc_ValueError, "data after the end-of-archive marker");
            padding += rest.size();
            if (padding > Limits::max_end_padding)
                raise_format(PyExc_ValueError, "more than %llu KiB of padding after the end-of-archive marker",
                             static_cast<unsigned long long>(Limits::max_end_padding >> 10));
            consume(rest.size());
        }
    }

    [[noreturn]] static void truncated() { raise(PyExc_ValueError, "unexpected end of data"); }

private:
    // A next chunk when the current one is used up; false at the end of data.
    bool fill() {
        if (pos_ < size_) return true;
        if (ended_) return false;
        try {
            // read1: one step of the decompressor, so that the first chunk
            // comes back before any error at the stream's end.
            chunk_ = call_method(gzip_, read1_, chunk_size_);
        } catch (const PyError&) {
            // Only a stream that is not gzip at all from its first byte is
            // "not a gzip file"; later format errors and I/O errors keep their text.
            if (!started_ && PyErr_ExceptionMatches(bad_gzip_.get())) {
                PyErr_Clear();
                raise(PyExc_ValueError, "not a gzip file");
            }
            throw;
        }
        started_ = true;
        char* data = nullptr;
        Py_ssize_t size = 0;
        check(PyBytes_AsStringAndSize(chunk_.get(), &data, &size));
        data_ = data;
        size_ = static_cast<size_t>(size);
        pos_ = 0;
        ended_ = size_ == 0;
        return !ended_;
    }
    void consume(size_t n) {
        pos_ += n;
        offset_ += n;
    }

    Borrowed gzip_;
    Ref chunk_size_, read1_, bad_gzip_, chunk_;
    const char* data_ = nullptr;
    size_t size_ = 0, pos_ = 0;
    uint64_t offset_ = 0;
    bool started_ = false, ended_ = false;
};

// What takes the members of an archive, in order; the stream stands at the
// member's content, of which the sink reads exactly size bytes when
// has_content says there is any.
class MemberSink {
public:
    virtual void member(const std::string& name, char type, mode_t mode, uint64_t size, bool has_content,
                        TarStream& stream) = 0;
    virtual bool empty() const noexcept = 0;

protected:
    MemberSink() = default;
    MemberSink(const MemberSink&) = default;
    MemberSink& operator=(const MemberSink&) = default;
    ~MemberSink() = default;
};

// Reads the archive member by member, as one stream, and hands each member
// to the sink. The stream must end where its member list ends: in the
// end-of-archive marker (zeros only after it) or in plain end of data.
void read_archive(TarStream& stream, MemberSink& sink);

}  // namespace zelta::transfer
