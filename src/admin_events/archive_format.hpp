// The layout of a configuration archive, the tar format as import reads it
// and the rules an archive must meet before import writes anything, as plain
// functions over file-system bytes. Nothing here touches Python, so the C++
// tests exercise it directly.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace zelta::transfer {

// The name every archive file ends with.
inline constexpr std::string_view archive_suffix = ".tar.gz";

// The files export always archives, in archive order, relative to the root.
inline constexpr std::string_view config_files[] = {
    "etc/zelta-syslog.conf",
    "etc/audit/rules.d/zelta-syslog.rules",
    "etc/logrotate.d/syslog-ng-mod-zelta",
};
// The syslog-ng fragment directory and the prefix of the module's fragments.
inline constexpr std::string_view fragment_dir = "etc/syslog-ng/conf.d/";
inline constexpr std::string_view fragment_prefix = "mod-zelta";
// The event watcher's notification settings of the root user and their directory.
inline constexpr std::string_view notifyrc_dir = "root/.config";
inline constexpr std::string_view notifyrc = "root/.config/zelta-event-watcher.notifyrc";

// What import accepts of an archive, all checked before anything is written.
// Each error that refuses an archive names the limit it met.
struct Limits {
    static constexpr uint64_t max_members = 10000;                // members, extended headers not counted
    static constexpr uint64_t max_member_size = 64ULL << 20;      // content of one member
    static constexpr uint64_t max_total_size = 256ULL << 20;      // content of all members
    static constexpr uint64_t max_extended_header = 64ULL << 10;  // one pax or GNU long-name header
    static constexpr uint64_t max_end_padding = 1ULL << 20;       // zeros after the end-of-archive marker
    static constexpr unsigned max_json_depth = 256;               // nesting of the configuration file
    static constexpr size_t max_json_integer_digits = 4300;       // digits of an integer, as json.loads reads it
};

// The 512-byte tar header block, read as tar readers read it.
inline constexpr size_t tar_block = 512;

struct TarHeader {
    std::string name;  // prefix and name joined, as the ustar format stores them
    uint64_t size = 0;
    uint32_t mode = 0;
    char type = '0';
};

// Parses one header block. Nothing when its checksum does not match or a
// number field is not a number: the block is damaged.
std::optional<TarHeader> parse_tar_header(std::string_view block);
// Whether a block is all zeros: the end-of-archive marker.
bool is_zero_block(std::string_view block);
// The padding after content of size bytes up to the next block boundary.
inline uint64_t tar_padding(uint64_t size) { return (tar_block - size % tar_block) % tar_block; }

// One record of a pax extended header ("LEN key=value\n"), taken off the
// front of records; nothing when the records are malformed.
struct PaxRecord {
    std::string_view key, value;
};
std::optional<PaxRecord> next_pax_record(std::string_view& records);

// A number field: octal digits between optional spaces, or base-256 when
// the first byte has its high bit set. Nothing for anything else, for a
// negative number and for one beyond 2^56.
std::optional<uint64_t> tar_number(std::string_view raw);

// How the configuration file's text stands as JSON, read as json.loads reads
// it (NaN, Infinity and -Infinity included) from UTF-8 text.
enum class JsonCheck { object, other_value, invalid, too_deep };

// Checks the configuration file's JSON in a thread of its own while its
// text is still being decompressed and written; the text is appended as it
// arrives, size bytes in all.
class JsonWorker {
public:
    explicit JsonWorker(size_t size);
    ~JsonWorker() {
        if (thread_.joinable()) finish();
    }
    JsonWorker(const JsonWorker&) = delete;
    JsonWorker& operator=(const JsonWorker&) = delete;

    void append(const char* data, size_t size) {
        text_.append(data, size);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            available_ = text_.size();
        }
        arrived_.notify_one();
    }
    // The verdict once all the text has arrived, and the text.
    JsonCheck finish() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            complete_ = true;
        }
        arrived_.notify_one();
        thread_.join();
        return result_;
    }
    std::string take() { return std::move(text_); }

    // The text as the check reads it, in the thread.
    bool has(size_t i) {
        if (i < seen_) return true;
        std::unique_lock<std::mutex> lock(mutex_);
        arrived_.wait(lock, [&] { return available_ > i || complete_; });
        seen_ = available_;
        return i < seen_;
    }
    unsigned char at(size_t i) const { return static_cast<unsigned char>(data_[i]); }
    const unsigned char* from(size_t i) const { return reinterpret_cast<const unsigned char*>(data_) + i; }
    const unsigned char* end() const { return from(seen_); }

private:
    std::string text_;
    const char* data_ = nullptr;
    std::mutex mutex_;
    std::condition_variable arrived_;
    size_t available_ = 0, seen_ = 0;
    bool complete_ = false;
    JsonCheck result_ = JsonCheck::invalid;
    std::thread thread_;
};

// The top-level name T of an archive written to archive_path: the final
// path component's text before its first dot ("" for ".x.tar.gz").
std::string_view archive_top_name(std::string_view archive_path);

// The top-level name of an archive being read: the first member name's text
// up to its first "/".
std::string_view member_top_name(std::string_view first_member);

// A relative name made of plain components only: not empty, no leading
// "/", no empty, "." or ".." component, no NUL.
bool is_plain_relative(std::string_view name);

// The part of a member name below the top-level name: "" for the top itself,
// nothing when the name lies outside it.
std::optional<std::string_view> path_below_top(std::string_view name, std::string_view top);

// What the layout export writes has at a path below T: the directories (the
// top itself, the ancestors of the exported files and the notification
// settings directory), the files, or nothing. A member must be of its
// place's kind.
enum class Place { none, directory, file };
Place layout_place(std::string_view relative);

}  // namespace zelta::transfer
