// Form files on disk: reading one without blocking, replacing one as a whole, and a lock for
// read-modify-write edits. Errors are FormError naming the file.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

#include "host/form_error.h"

namespace varnel::host {

// The content of a regular file, up to `limit` + 1 bytes: a longer text than `limit` tells the
// caller that the file is larger. What is not a regular file (a directory, a FIFO, a device) is
// refused without being waited for.
std::string ReadFormFile(const std::filesystem::path& file, std::size_t limit);

// Writes text to file through a temporary file in the same directory, flushed to disk and then
// renamed over the file; on failure the file is untouched and no temporary file remains. A
// symbolic link is followed, so the link stays and its target gets the new content. An existing
// file keeps its permissions, and its owner and group where the process may set them.
void WriteFileAtomically(const std::filesystem::path& file, std::string_view text);

// Serialises read-modify-write edits of form files among the programs that take it: an exclusive
// lock on the directory that holds the form (the directory of a symbolic link's target), so that
// it also covers a form that does not exist yet. Waits at most `limit` for another holder. Where
// the directory cannot be opened or its file system offers no locks, the edit goes on unlocked.
class FormFileLock {
  public:
    explicit FormFileLock(const std::filesystem::path& file,
                          std::chrono::milliseconds limit = std::chrono::seconds(30));
    ~FormFileLock();
    FormFileLock(const FormFileLock&) = delete;
    FormFileLock& operator=(const FormFileLock&) = delete;

  private:
    int fd_ = -1;
};

}  // namespace varnel::host
