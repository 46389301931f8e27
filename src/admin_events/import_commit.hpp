// The commit of an import: the staged files renamed into place, and the
// directories made, by a helper process that carries out the prepared ops
// with system calls alone and undoes them all should one fail.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelta::transfer {

// One change of the commit, prepared in full beforehand so that a helper
// process can carry it out with system calls alone.
struct CommitOp {
    enum class Kind { make_directory, rename } kind;
    int directory = -1;     // the directory the change happens in, or
    int directory_op = -1;  // the earlier op that made that directory
    std::string name{};     // the destination's name there
    std::string temp{};     // the staged file's name in its directory
    std::string backup{};   // the second name the replaced file keeps until the end
    int source = -1;        // the staged file's directory
    mode_t mode = 0;
    std::string display{};   // the destination, for messages
    size_t step = 0;         // the member it comes from
    bool flush = false;      // the first op in its directory: the directory is flushed after it
    int made = -1;           // in the helper: the directory made
    bool backed_up = false;  // in the helper: the replaced file has its second name
};

// What the helper reports, in order: a file it could not keep, each op
// carried out (error 0) or failed, each op it could not undo after a
// failure, and the end with the flush of the directories. error 0: done.
enum class Phase : int32_t { keep, apply, restore, end };
struct OpResult {
    Phase phase;
    int32_t index;
    int32_t error;
};

// What the helper reported.
struct CommitOutcome {
    std::optional<OpResult> failure;  // the op that failed
    std::vector<size_t> done;         // the ops carried out, in order
    std::vector<size_t> kept;         // of those, the ops still in place after a failure
    std::optional<int> end;           // the flush's error, once the helper got to the end
    int status = 0;
};

// Carries the ops out in a helper process. Should the caller be killed
// part-way, the helper still finishes, holding the inherited lock until it
// has: the tree ends wholly old or wholly new, with no staged file left.
CommitOutcome run_commit(std::vector<CommitOp>& ops, std::string_view root);

}  // namespace zelta::transfer
