#pragma once
// StagedFile: the one way a file is written. The content goes to a neighbour (the final
// name and ".XXXXXX", in the same folder), which is flushed to the disk (fsync), renamed
// over the final path, and the folder is flushed too. A failed or abandoned write removes
// the neighbour and leaves an older file of that name exactly as it was.
//
// A folder that refuses a new file while the file itself exists and is writable (a
// settings file in a folder of someone else's) is written in place instead, when the
// writer allows it: the content is gathered in memory and written over the file only once
// it is complete, with the disk space reserved first, so that a full disk fails before any
// byte of the older file changes.
//
// A symbolic link is written through (the neighbour is made beside the file it points to)
// only when it is this user's own, or root's in a folder only root may change; a link of
// anyone else's is refused with an error that names it, wherever it stands in the path.
// Every step after that works on the folder as it was checked (by descriptor), and a file
// written in place is opened without following links and checked to be the one looked at.
//
// Neighbours of the same target that a crashed run left behind (this user's, older than a
// day) are removed when the target is written next.

#include "platform/PathWalk.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace vx4 {

class StagedFile {
public:
    enum class Mode {
        Replace,        // replaces an existing file; in place when the folder refuses a neighbour
        ReplaceStaged,  // replaces an existing file, only through a neighbour (large files)
        KeepExisting,   // never replaces: Commit fails with EEXIST when the name is taken
    };

    explicit StagedFile(std::string path, Mode mode = Mode::Replace) : path_(std::move(path)), mode_(mode) {}
    // Removes the neighbour unless it was committed.
    ~StagedFile();
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    // Creates the neighbour; an error message, empty on success (errno kept in Errno()).
    std::string Create();
    // The stream to write the content to (open after a successful Create).
    std::FILE* File() { return file_; }
    // For a library that writes a path itself: closes the stream and gives the neighbour's
    // path (empty when writing in place), to be written and closed before Commit.
    std::string HandOver();
    // Flushes the content to the disk and moves it to its final path; an error message,
    // empty on success. The neighbour is removed on failure.
    std::string Commit();
    // Closes and removes the neighbour.
    void Discard();
    // The system's error number of the last failure.
    int Errno() const { return errno_; }
    const std::string& Path() const { return path_; }
    // The neighbour's path while one exists (for messages).
    const std::string& TempPath() const { return temp_; }

    // How old a neighbour left behind must be before a later write removes it.
    static constexpr int StaleNeighbourSeconds = 24 * 60 * 60;

    // The whole content at once; an error message, empty on success (errno in *err).
    static std::string Write(const std::string& path, std::string_view bytes, Mode mode = Mode::Replace,
                             int* err = nullptr);

private:
    std::string Fail(const char* what, int err);
    std::string CommitInPlace();
    void RemoveStaleNeighbours();

    std::string path_;   // as given, for messages
    std::string target_; // the file written: path_ with symbolic links followed (for messages)
    WalkedPath where_;   // its folder, open, and its name there
    Mode mode_;
    std::string temp_;     // the neighbour's path, for messages
    std::string tempName_; // the neighbour's name in where_.folder
    std::FILE* file_ = nullptr;
    bool inPlace_ = false;
    int inPlaceFd_ = -1; // the file written in place, open since Create
    char* memory_ = nullptr; // the in-place content
    std::size_t memorySize_ = 0;
    int errno_ = 0;
};

} // namespace vx4
