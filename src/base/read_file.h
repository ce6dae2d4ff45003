// Reading a whole file an operator names (the configuration, root hints, trust anchors), bounded in
// size, with why it could not be read as a closed error set that the layers loading such files share.
#pragma once

#include "base/error.h"

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

// FileNotFound   no such file, a path component that is not a directory, or a path with a NUL byte
// AccessDenied   the permissions forbid it
// IsDir          a directory
// StreamTooLong  more bytes than the bound
// ReadFailed     any other failure to open or read
// OutOfMemory    the kernel or the allocation ran out
// An error set that lists RECURSOR_FILE_ERRORS among its own kinds can stand for a file's error
// (fileErrorAs) and tell it apart from its other kinds (fileErrorOf).
#define RECURSOR_FILE_ERRORS(X)                                                                              \
    X(FileNotFound)                                                                                          \
    X(AccessDenied)                                                                                          \
    X(IsDir)                                                                                                 \
    X(StreamTooLong)                                                                                         \
    X(ReadFailed)                                                                                            \
    X(OutOfMemory)

#define RECURSOR_FILE_ERROR_AS_CASE(name)                                                                    \
    case FileError::name:                                                                                    \
        return Target::name;
#define RECURSOR_FILE_ERROR_OF_CHECK(name)                                                                   \
    if (e == Source::name)                                                                                   \
        return FileError::name;

namespace recursor {
RECURSOR_DEFINE_ERROR_ENUM(FileError, RECURSOR_FILE_ERRORS)

template <typename T> using FileResult = std::expected<T, FileError>;

// The kind of the same name in `Target`.
template <typename Target> constexpr Target fileErrorAs(FileError e) noexcept
{
    switch (e) {
        RECURSOR_FILE_ERRORS(RECURSOR_FILE_ERROR_AS_CASE)
    }
    return Target::ReadFailed;
}

// The file error `e` names, or none when it is one of `Source`'s other kinds.
template <typename Source> constexpr std::optional<FileError> fileErrorOf(Source e) noexcept
{
    RECURSOR_FILE_ERRORS(RECURSOR_FILE_ERROR_OF_CHECK)
    return std::nullopt;
}

// The bytes of the file at `path`, at most `max_size` of them (StreamTooLong beyond). The size is
// checked while reading rather than trusted from fstat, so pipes and growing files are bounded too.
[[nodiscard]] FileResult<std::string> readWholeFile(std::string_view path, std::size_t max_size);

} // namespace recursor
