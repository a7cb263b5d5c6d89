#pragma once
// StagedFile: a file written under a temporary name beside its final path and moved there
// only when complete, so that a failed or stopped transfer leaves no file behind (and an
// older file of that name is kept). Used by vx4ctl and by the console's downloads and saves.

#include <cstdio>
#include <string>

namespace vx4 {

class StagedFile {
public:
    explicit StagedFile(std::string path) : path_(std::move(path)) {}
    // Removes the temporary file unless it was committed.
    ~StagedFile();
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    // Creates the temporary file; an error message, empty on success (errno kept in Errno()).
    std::string Create();
    std::FILE* File() { return file_; }
    // Closes the file and moves it to its final path; an error message, empty on success.
    std::string Commit();
    // Closes and removes the temporary file.
    void Discard();
    // The system's error number of the last failure.
    int Errno() const { return errno_; }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
    std::string temp_;
    std::FILE* file_ = nullptr;
    int errno_ = 0;
};

} // namespace vx4
